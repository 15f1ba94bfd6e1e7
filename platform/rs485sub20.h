#ifndef RS485SUB20_H
#define RS485SUB20_H

#include "sub20adapter.h"

#include <QString>

class QSettings;

// The adapter's RS-485 port played by a serial port (a common USB-to-RS-485
// converter). A transfer writes the request and reads the reply whole: its
// length is known from its first bytes, so a reply that a USB converter
// delivers in pieces (a packet per latency tick) is never cut short. A
// pause ends only a reply that has stopped. Converters that hear their own
// transmission are recognised once per opened port, so that the echo of a
// request is never taken for the pad's answer. There is no infrared
// transmitter.
class Rs485Sub20 : public Sub20Adapter
{
public:
    enum class Echo { Detect, Discard, Keep };

    struct Options
    {
        QString port = QStringLiteral("/dev/ttyUSB0");
        int baudRate = 115200;
        char parity = 'N';              // 'N', 'E' or 'O'; 8 data bits, 1 stop bit
        Echo echo = Echo::Detect;
        // Why the settings cannot be used; empty when they can.
        QString problem;

        // From the [adapter] group: port, baud, parity (none, even, odd),
        // discard_echo (auto, true or false).
        static Options fromSettings(QSettings &settings);
    };

    explicit Rs485Sub20(const Options &options);
    ~Rs485Sub20() override;

    bool isOpen() const { return m_fd >= 0; }
    // The system's error number when the port could not be opened.
    int openError() const { return m_openError; }
    // Whether the converter returns what it sends: -1 while not known yet.
    int hearsItself() const { return m_echo; }

    int irConfig(int carrierHz, int dutyPercent, int mode, int repeats) override;
    int irTransmit(const char *data, int size) override;
    int rsTiming(int flags, int txSpaceUs, int replyWaitUs, int byteGapUs) override;
    int rsTransfer(const char *tx, int txSize, char *rx, int rxSize) override;

    // The rates the port can be set to.
    static bool isSupportedRate(int baudRate);

    // Learns whether the converter echoes, with a frame no pad answers; the
    // first transfer does it when it is not known yet. False when the port
    // fails.
    bool detectEcho();

private:
    bool send(const char *data, int size);
    // Reads on after the `have` bytes already in `buffer`, up to `size`:
    // waits up to `firstUs` for a first byte, stops after a pause of
    // `stallUs` once bytes came and, for a Modbus reply, as soon as the
    // reply is complete. The bytes held, or -1 when the port fails.
    int readFrame(char *buffer, int have, int size, int firstUs, int stallUs, bool modbusReply);
    // How long `bytes` take on the line, in microseconds.
    int lineTimeUs(int bytes) const;

    const Options m_options;
    int m_fd = -1;
    int m_openError = 0;
    int m_echo = -1;
    int m_replyWaitUs = 1000000;
    int m_byteGapUs = 0;
};

#endif // RS485SUB20_H
