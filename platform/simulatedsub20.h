#ifndef SIMULATEDSUB20_H
#define SIMULATEDSUB20_H

#include "sub20adapter.h"

#include <QByteArray>
#include <QString>

#include <mutex>

class QSettings;

// An adapter with a simulated pad behind it, for tests and for trying Tamsel
// without hardware. The pad decodes infrared boot frames (header, counter,
// CRC-8) and Modbus RTU Write File Record requests (CRC-16), answers Modbus
// as a slave at its address (the echo; silence for other addresses, bad
// CRCs and broadcasts), reassembles what it received into an image (48-byte
// blocks by counter, or 32-byte records by record number) and fails on
// demand.
class SimulatedSub20 : public Sub20Adapter
{
public:
    struct Options
    {
        int padAddress = 0x50;
        QString imageFile;              // the received image is written here
        QString holdsFile;              // the image the pad holds at start (read back until a new one comes)
        bool refuseConfig = false;      // sub_ir_config fails
        int transmitErrorAt = 0;        // sub_ir_tx call k (from 1) fails
        int timeoutAt = 0;              // Modbus request k (from 1) gets no reply
        int exceptionAt = 0;            // request k gets an exception reply ...
        int exceptionCode = 2;          // ... with this code
        int crcErrorAt = 0;             // request k gets a reply with a broken CRC
        int delayMs = 0;                // every transmission and transfer takes this long (0 to longestDelayMs)
        bool readBack = true;           // Read File Record answers (else "Illegal Function")
        bool readBackEmpty = false;     // ... with no records (byte count 0)
        int corruptReadAt = -1;         // this byte of the image reads back changed

        // From the [adapter] group: pad_address, image, holds, refuse_config,
        // transmit_error_at, timeout_at, exception_at, exception_code,
        // crc_error_at, delay_ms.
        static Options fromSettings(QSettings &settings);
    };

    // The longest delay a setting may ask for: a pad that answers at all
    // answers within this.
    static constexpr int longestDelayMs = 10000;
    // The most a pad holds: every record number (0 to 9999) of 32 bytes.
    static constexpr int largestImage = 10000 * 32;

    explicit SimulatedSub20(const Options &options);
    ~SimulatedSub20() override;

    int irConfig(int carrierHz, int dutyPercent, int mode, int repeats) override;
    int irTransmit(const char *data, int size) override;
    int rsTiming(int flags, int txSpaceUs, int replyWaitUs, int byteGapUs) override;
    int rsTransfer(const char *tx, int txSize, char *rx, int rxSize) override;

    // What the pad has seen (safe from any thread).
    QByteArray image() const;
    int irTransmissions() const;        // sub_ir_tx calls
    int irFrames() const;               // distinct valid frames (repeats not counted)
    int irBadFrames() const;
    int modbusRequests() const;         // valid requests addressed to the pad or broadcast
    int lastReplyWaitUs() const;

private:
    void saveImage() const;

    const Options m_options;
    mutable std::mutex m_mutex;
    QByteArray m_image;
    int m_transmissions = 0;
    int m_frames = 0;
    int m_badFrames = 0;
    int m_lastCounter = -1;
    int m_requests = 0;
    int m_replyWaitUs = 0;
};

#endif // SIMULATEDSUB20_H
