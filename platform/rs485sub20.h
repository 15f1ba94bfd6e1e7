#ifndef RS485SUB20_H
#define RS485SUB20_H

#include "sub20adapter.h"

#include <QString>

class QSettings;

// The adapter's RS-485 port played by a serial port (a common USB-to-RS-485
// converter): a transfer writes the request and collects the reply until
// the reply wait runs out or the line stays quiet for the Modbus gap
// between frames. Converters that hear their own transmission can be told
// to discard that echo. There is no infrared transmitter.
class Rs485Sub20 : public Sub20Adapter
{
public:
    struct Options
    {
        QString port = QStringLiteral("/dev/ttyUSB0");
        int baudRate = 115200;
        char parity = 'N';              // 'N', 'E' or 'O'; 8 data bits, 1 stop bit
        bool discardEcho = false;

        // From the [adapter] group: port, baud, parity (none, even, odd),
        // discard_echo.
        static Options fromSettings(QSettings &settings);
    };

    explicit Rs485Sub20(const Options &options);
    ~Rs485Sub20() override;

    bool isOpen() const { return m_fd >= 0; }
    // The system's error number when the port could not be opened.
    int openError() const { return m_openError; }

    int irConfig(int carrierHz, int dutyPercent, int mode, int repeats) override;
    int irTransmit(const char *data, int size) override;
    int rsTiming(int flags, int txSpaceUs, int replyWaitUs, int byteGapUs) override;
    int rsTransfer(const char *tx, int txSize, char *rx, int rxSize) override;

private:
    // Reads up to `size` bytes: waits up to `firstUs` for the first, then
    // stops after a silence of `gapUs`. -1 when the port fails.
    int readFrame(char *buffer, int size, int firstUs, int gapUs);

    const Options m_options;
    int m_fd = -1;
    int m_openError = 0;
    int m_replyWaitUs = 1000000;
    int m_gapUs;
};

#endif // RS485SUB20_H
