#include "simulatedsub20.h"

#include "crc16modbus.h"
#include "crc8lte.h"
#include "sub20.h"

#include <QFile>
#include <QSettings>
#include <QThread>

#include <cstring>

namespace {

const int frameSize = 62;
const int frameBlock = 48;
const int recordStride = 32;            // the pad's file records are 32 bytes apart
const quint8 readFileRecord = 0x14;
const quint8 writeFileRecord = 0x15;
const quint8 referenceType = 6;
const quint8 illegalFunction = 1;
const quint8 illegalDataAddress = 2;
const quint8 illegalDataValue = 3;

quint16 word(const char *bytes)
{
    return quint16((quint8(bytes[0]) << 8) | quint8(bytes[1]));
}

} // namespace

SimulatedSub20::Options SimulatedSub20::Options::fromSettings(QSettings &settings)
{
    Options options;
    settings.beginGroup(QStringLiteral("adapter"));
    options.padAddress = settings.value(QStringLiteral("pad_address"), options.padAddress).toInt();
    options.imageFile = settings.value(QStringLiteral("image")).toString();
    options.holdsFile = settings.value(QStringLiteral("holds")).toString();
    options.refuseConfig = settings.value(QStringLiteral("refuse_config"), false).toBool();
    options.transmitErrorAt = settings.value(QStringLiteral("transmit_error_at"), 0).toInt();
    options.timeoutAt = settings.value(QStringLiteral("timeout_at"), 0).toInt();
    options.exceptionAt = settings.value(QStringLiteral("exception_at"), 0).toInt();
    options.exceptionCode = settings.value(QStringLiteral("exception_code"), options.exceptionCode).toInt();
    options.crcErrorAt = settings.value(QStringLiteral("crc_error_at"), 0).toInt();
    options.delayMs = qBound(0, settings.value(QStringLiteral("delay_ms"), 0).toInt(), longestDelayMs);
    // read_back=empty: reads are answered with no records at all.
    options.readBackEmpty = settings.value(QStringLiteral("read_back")).toString() == QLatin1String("empty");
    options.readBack = options.readBackEmpty || settings.value(QStringLiteral("read_back"), true).toBool();
    options.corruptReadAt = settings.value(QStringLiteral("corrupt_read_at"), -1).toInt();
    settings.endGroup();
    return options;
}

SimulatedSub20::SimulatedSub20(const Options &options)
    : m_options(options)
{
    QFile held(options.holdsFile);
    if (!options.holdsFile.isEmpty() && held.open(QIODevice::ReadOnly))
        m_image = held.read(largestImage);
}

SimulatedSub20::~SimulatedSub20()
{
    saveImage();
}

int SimulatedSub20::irConfig(int, int, int, int)
{
    if (m_options.refuseConfig) {
        setError(SUB_ERROR_CONFIG);
        return SUB_ERROR_CONFIG;
    }
    return 0;
}

int SimulatedSub20::irTransmit(const char *data, int size)
{
    if (m_options.delayMs > 0)
        QThread::msleep(ulong(m_options.delayMs));
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_transmissions;
    if (m_transmissions == m_options.transmitErrorAt) {
        setError(SUB_ERROR_TRANSMIT);
        return SUB_ERROR_TRANSMIT;
    }
    static const char header[] = { char(0x55), char(0x55), char(0xC3), char(0xEA) };
    const bool valid = size == frameSize && std::memcmp(data, header, 4) == 0
        && quint8(data[53]) == Crc8Lte::compute(data + 4, 1 + frameBlock)
        && QByteArray(data + 54, 8) == QByteArray(8, char(0xFF));
    if (!valid) {
        ++m_badFrames;
        return 0;
    }
    // Each frame comes three times; a new counter starts the next block.
    const int counter = quint8(data[4]);
    if (counter == m_lastCounter)
        return 0;
    m_lastCounter = counter;
    // Counter 0 is only ever the first frame of a transfer: a new image
    // replaces what the pad held, as its flash would.
    if (counter == 0)
        m_image.clear();
    m_image.append(data + 5, frameBlock);
    ++m_frames;
    return 0;
}

int SimulatedSub20::rsTiming(int, int, int replyWaitUs, int)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replyWaitUs = replyWaitUs;
    return 0;
}

int SimulatedSub20::rsTransfer(const char *tx, int txSize, char *rx, int rxSize)
{
    if (txSize < 4 || rxSize < 0) {
        setError(SUB_ERROR_ARGUMENT);
        return -1;
    }
    if (m_options.delayMs > 0)
        QThread::msleep(ulong(m_options.delayMs));
    // A frame with a bad CRC, or for another slave, is not answered.
    const quint16 crc = Crc16Modbus::compute(tx, txSize - 2);
    if (quint8(tx[txSize - 2]) != (crc & 0xFF) || quint8(tx[txSize - 1]) != (crc >> 8))
        return 0;
    const int address = quint8(tx[0]);
    if (address != 0 && address != m_options.padAddress)
        return 0;

    QByteArray reply;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const int request = ++m_requests;
        const quint8 function = quint8(tx[1]);
        quint8 exception = 0;
        QByteArray read;
        if (function == readFileRecord) {
            // One sub-request: reference type, file, record, length in
            // registers; answered from the image the pad holds.
            const bool wellFormed = txSize == 12 && quint8(tx[2]) == 7 && quint8(tx[3]) == referenceType
                && word(tx + 8) >= 1 && word(tx + 8) <= 120;
            if (!m_options.readBack) {
                exception = illegalFunction;
            } else if (!wellFormed) {
                exception = illegalDataValue;
            } else if (request == m_options.exceptionAt) {
                exception = quint8(m_options.exceptionCode ? m_options.exceptionCode : illegalDataAddress);
            } else if (word(tx + 6) * recordStride >= m_image.size() && !m_options.readBackEmpty) {
                // Past the last record it holds: no such record.
                exception = illegalDataAddress;
            } else {
                const int offset = word(tx + 6) * recordStride;
                read = m_image.mid(offset, word(tx + 8) * 2);
                read.append(QByteArray(word(tx + 8) * 2 - read.size(), '\0'));
                const int corrupt = m_options.corruptReadAt - offset;
                if (corrupt >= 0 && corrupt < read.size())
                    read[corrupt] = char(read.at(corrupt) ^ 0x5A);
            }
        } else if (function != writeFileRecord) {
            exception = illegalFunction;
        } else {
            const int dataLength = txSize - 12;
            const bool wellFormed = dataLength >= 0 && quint8(tx[2]) == dataLength + 7 && quint8(tx[3]) == referenceType
                && word(tx + 8) * 2 == dataLength;
            if (!wellFormed) {
                exception = illegalDataValue;
            } else if (request == m_options.exceptionAt) {
                // Code 0 is no exception: the pad drops the record and,
                // having taken nothing, does not answer.
                if (m_options.exceptionCode == 0)
                    return 0;
                exception = quint8(m_options.exceptionCode);
            } else {
                const int offset = word(tx + 6) * recordStride;
                // Record 0 begins a new image, which replaces the old one.
                if (offset == 0)
                    m_image.clear();
                if (m_image.size() < offset + dataLength)
                    m_image.append(QByteArray(offset + dataLength - m_image.size(), '\0'));
                m_image.replace(offset, dataLength, QByteArray(tx + 10, dataLength));
            }
        }
        if (address == 0 || request == m_options.timeoutAt)
            return 0;
        if (exception != 0) {
            reply = QByteArray(1, char(address)) + char(function | 0x80) + char(exception);
            Crc16Modbus::append(reply);
        } else if (function == readFileRecord && m_options.readBackEmpty) {
            reply = QByteArray(1, char(address)) + char(function) + char(0);
            Crc16Modbus::append(reply);
        } else if (function == readFileRecord) {
            reply = QByteArray(1, char(address)) + char(function) + char(read.size() + 2) + char(read.size() + 1)
                + char(referenceType) + read;
            Crc16Modbus::append(reply);
        } else {
            // The normal answer to Write File Record is the request itself.
            reply = QByteArray(tx, txSize);
        }
        if (request == m_options.crcErrorAt)
            reply[reply.size() - 1] = char(reply.at(reply.size() - 1) ^ 0xFF);
    }
    const int count = qMin(rxSize, int(reply.size()));
    std::memcpy(rx, reply.constData(), size_t(count));
    return count;
}

QByteArray SimulatedSub20::image() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return QByteArray(m_image.constData(), m_image.size());
}

int SimulatedSub20::irTransmissions() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_transmissions;
}

int SimulatedSub20::irFrames() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frames;
}

int SimulatedSub20::irBadFrames() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_badFrames;
}

int SimulatedSub20::modbusRequests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

int SimulatedSub20::lastReplyWaitUs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_replyWaitUs;
}

void SimulatedSub20::saveImage() const
{
    if (m_options.imageFile.isEmpty())
        return;
    QFile file(m_options.imageFile);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(image());
}
