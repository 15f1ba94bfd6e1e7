#ifndef CRC16MODBUS_H
#define CRC16MODBUS_H

#include <QByteArray>
#include <QtGlobal>

// CRC-16/MODBUS: reflected polynomial 0xA001, initial value 0xFFFF, no final
// XOR. On the wire the value goes low byte first. Used for Modbus RTU frames
// and for the checksum of a whole firmware image in the network upload header.
namespace Crc16Modbus {

constexpr quint16 initialValue = 0xFFFF;

// Continues a CRC over more bytes; start with initialValue. Lets a caller run
// the CRC over a file block by block.
quint16 update(quint16 crc, const char *data, qsizetype length);

quint16 compute(const char *data, qsizetype length);
quint16 compute(const QByteArray &data);

// Appends the CRC of `frame` to it, low byte first.
void append(QByteArray &frame);

// The two 256-entry lookup tables (low and high byte of the per-index
// remainder), exposed so that a test can check them.
const quint8 *lowByteTable();
const quint8 *highByteTable();

} // namespace Crc16Modbus

#endif // CRC16MODBUS_H
