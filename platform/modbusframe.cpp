#include "modbusframe.h"

int ModbusFrame::replyLength(const unsigned char *reply, int size)
{
    if (size < 2)
        return needMore;
    const unsigned char function = reply[1];
    // Exception: address, function | 0x80, code, CRC.
    if (function & 0x80)
        return 5;
    switch (function) {
    // A byte count after the function code, then that many bytes.
    case 0x01: case 0x02: case 0x03: case 0x04:
    case 0x0C: case 0x11: case 0x14: case 0x15: case 0x17:
        return size < 3 ? needMore : 3 + reply[2] + 2;
    // Fixed length: address, function, four bytes, CRC.
    case 0x05: case 0x06: case 0x08: case 0x0B: case 0x0F: case 0x10:
        return 8;
    case 0x07:
        return 5;
    case 0x16:
        return 10;
    default:
        return unknownLength;
    }
}
