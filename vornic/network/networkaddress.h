#ifndef NETWORKADDRESS_H
#define NETWORKADDRESS_H

#include <QString>

class QHostAddress;

// The rules for a network device's address, shared by the add dialog and
// vornic-cli: an IPv4 address that names one device, and a port.
class NetworkAddress
{
public:
    // "ADDRESS[:PORT]" as an IPv4 address (four numbers) and a port from 1
    // to 65535 (`defaultPort` when none is given); false when it is not one
    // or names no single device.
    static bool parse(const QString &text, int defaultPort, QString *ip, int *port);
    // "ADDRESS:PORT": how a device's place is written in every message and
    // history row (a device may listen on another port than the usual).
    static QString join(const QString &ip, int port);
    // Not "any" (0.0.0.0), not every host (broadcast), not a group
    // (multicast): those reach no device or many.
    static bool namesOneDevice(const QHostAddress &address);
    // Digits and dots, as "192.0.2.7" or "127.1:10102": meant as an address,
    // so one that is not one is said so, not looked for among local devices.
    static bool looksLikeAddress(const QString &text);
    // What vornic-cli says of text that is not an address.
    static QString notAnAddressText(const QString &text);
    // What the add dialog says of an address that names no single device.
    static QString notOneDeviceText(const QString &ip);
};

#endif // NETWORKADDRESS_H
