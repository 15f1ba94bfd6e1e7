#include "crc8lte.h"

namespace Crc8Lte {

quint8 compute(const char *data, qsizetype length)
{
    quint8 crc = 0;
    for (qsizetype i = 0; i < length; ++i) {
        const quint8 byte = quint8(data[i]);
        for (int bit = 7; bit >= 0; --bit) {
            const bool feedback = ((byte >> bit) & 1) != ((crc >> 7) & 1);
            crc = quint8(crc << 1);
            if (feedback)
                crc ^= 0x9B;
        }
    }
    return crc;
}

} // namespace Crc8Lte
