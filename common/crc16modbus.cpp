#include "crc16modbus.h"

#include <array>

namespace {

struct Tables
{
    std::array<quint8, 256> low {};
    std::array<quint8, 256> high {};
};

// Remainder of one byte value shifted through the reflected polynomial,
// split into its low and high byte. Computed at compile time so the tables
// cannot drift from the polynomial.
constexpr Tables makeTables()
{
    Tables t;
    for (unsigned i = 0; i < 256; ++i) {
        unsigned r = i;
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 1u) ? (r >> 1) ^ 0xA001u : (r >> 1);
        t.low[i] = static_cast<quint8>(r & 0xFFu);
        t.high[i] = static_cast<quint8>(r >> 8);
    }
    return t;
}

constexpr Tables tables = makeTables();

} // namespace

namespace Crc16Modbus {

quint16 update(quint16 crc, const char *data, qsizetype length)
{
    quint8 low = static_cast<quint8>(crc & 0xFF);
    quint8 high = static_cast<quint8>(crc >> 8);
    for (qsizetype i = 0; i < length; ++i) {
        const quint8 index = low ^ static_cast<quint8>(data[i]);
        low = high ^ tables.low[index];
        high = tables.high[index];
    }
    return static_cast<quint16>((high << 8) | low);
}

quint16 compute(const char *data, qsizetype length)
{
    return update(initialValue, data, length);
}

quint16 compute(const QByteArray &data)
{
    return compute(data.constData(), data.size());
}

void append(QByteArray &frame)
{
    const quint16 crc = compute(frame);
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
}

const quint8 *lowByteTable()
{
    return tables.low.data();
}

const quint8 *highByteTable()
{
    return tables.high.data();
}

} // namespace Crc16Modbus
