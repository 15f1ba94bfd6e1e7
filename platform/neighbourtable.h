#ifndef NEIGHBOURTABLE_H
#define NEIGHBOURTABLE_H

#include <QByteArray>
#include <QString>

// The hardware (MAC) address of an IPv4 address on a directly attached
// subnet, as the kernel's neighbour table knows it (what an ARP request
// would answer). Without a complete entry one UDP datagram is sent to the
// address to make the kernel resolve it, and the table is watched for at
// most `timeoutMs`. Returns the 6 bytes, or an empty array when there is no
// complete entry (no such host, not on a local subnet, not IPv4).
QByteArray neighbourHardwareAddress(const QString &ipv4, int timeoutMs = 2000);

// The complete entry for `ipv4` in a listing in the format of
// /proc/net/arp, or an empty array. An incomplete or failed entry (flags
// without 0x2, address all zero) is no entry.
QByteArray hardwareAddressInArpTable(const QByteArray &table, const QString &ipv4);

#endif // NEIGHBOURTABLE_H
