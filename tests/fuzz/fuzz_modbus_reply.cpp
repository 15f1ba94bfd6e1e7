// What comes back on the RS-485 line after a Write File Record request: the
// pad's answer, another device's, noise, an echo. Only the addressed pad's
// answer to that very request is success; and the length read from a
// reply's first bytes is one the reader can hold.
#include "fuzzinput.h"
#include "modbus.h"
#include "modbusframe.h"
#include "sub20adapter.h"

#include "crc16modbus.h"

#include <cstring>

namespace {

// An adapter whose line answers with the fuzzer's bytes.
class ScriptedLine : public Sub20Adapter
{
public:
    QByteArray reply;
    QByteArray sent;

    int irConfig(int, int, int, int) override { return 0; }
    int irTransmit(const char *, int) override { return 0; }
    int rsTiming(int, int, int, int) override { return 0; }
    int rsTransfer(const char *tx, int txSize, char *rx, int rxSize) override
    {
        sent = QByteArray(tx, txSize);
        const int size = qMin(rxSize, int(reply.size()));
        std::memcpy(rx, reply.constData(), size_t(size));
        return size;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const int slave = 1 + input.byte() % 247;
    const int record = input.word();
    const int length = 2 * (1 + input.byte() % 16);   // records of up to 32 bytes, as the pad transfer sends
    const QByteArray payload = input.bytes(size_t(length)).leftJustified(length, '\0');
    const uint8_t shape = input.byte();
    ScriptedLine line;
    line.reply = input.rest();

    // The reply's own length, as the RS-485 backend reads it.
    const int known = ModbusFrame::replyLength(reinterpret_cast<const unsigned char *>(line.reply.constData()),
                                               line.reply.size());
    FUZZ_ASSERT(known == ModbusFrame::needMore || known == ModbusFrame::unknownLength || (known >= 5 && known <= 260));

    // Now and then the reply is made a well-formed one: the echo of the
    // request, or an exception, from this or another slave.
    if (shape % 4 == 1 && !line.reply.isEmpty()) {
        QByteArray frame = line.reply.left(3).leftJustified(3, '\x02');
        frame[0] = char(shape & 0x10 ? slave : line.reply.at(0));
        frame[1] = char(0x95);
        const quint16 crc = Crc16Modbus::compute(frame.constData(), 3);
        frame.append(char(crc & 0xFF)).append(char(crc >> 8));
        line.reply = frame;
    }

    Modbus modbus;
    const auto handle = reinterpret_cast<sub_handle>(static_cast<Sub20Adapter *>(&line));
    if (shape % 4 == 2) {
        // The pad's true answer: the request itself.
        Modbus probe;
        ScriptedLine silent;
        probe.writeFileRecord(reinterpret_cast<sub_handle>(static_cast<Sub20Adapter *>(&silent)), slave, 1, record,
                              length, payload.constData());
        line.reply = silent.sent;
    }
    const int result = modbus.writeFileRecord(handle, slave, 1, record, length, payload.constData());

    FUZZ_ASSERT(line.sent.size() == length + 12 && quint8(line.sent.at(0)) == slave);
    const QByteArray got = line.reply.left(62);
    if (result == 0)
        FUZZ_ASSERT(got == line.sent);
    if (got == line.sent)
        FUZZ_ASSERT(result == 0);
    if (result == 40)
        FUZZ_ASSERT(got.size() == 5 && quint8(got.at(0)) == slave && quint8(got.at(1)) == 0x95);
    FUZZ_ASSERT(result == 0 || result == 138 || result == 32 || result == 74 || result == 40 || result == 71);
    return 0;
}
