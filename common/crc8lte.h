#ifndef CRC8LTE_H
#define CRC8LTE_H

#include <QtGlobal>

// CRC-8/LTE: polynomial 0x9B, initial value 0, most significant bit first,
// no reflection, no final XOR ("123456789" gives 0xEA). The checksum of the
// pad's infrared boot frames.
namespace Crc8Lte {

quint8 compute(const char *data, qsizetype length);

} // namespace Crc8Lte

#endif // CRC8LTE_H
