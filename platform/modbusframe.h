#ifndef MODBUSFRAME_H
#define MODBUSFRAME_H

// How long a Modbus RTU reply is, read from its own first bytes: a reader
// then knows when the whole reply is in, however a converter splits it into
// pieces, instead of guessing from a pause on the line.
class ModbusFrame
{
public:
    // The whole length (with the CRC) of the reply that starts with the
    // `size` bytes at `reply`; needMore while its first bytes do not tell
    // it yet, unknownLength for a function whose replies this does not know.
    static int replyLength(const unsigned char *reply, int size);

    static constexpr int needMore = 0;
    static constexpr int unknownLength = -1;
};

#endif // MODBUSFRAME_H
