#include "padtransfer.h"

#include "crc8lte.h"
#include "emitter.h"
#include "modbus.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const int irFrameSize = 62;
const int irSends = 3;                  // each frame goes out three times
const int progressEvery = 3;            // frames or records between progress reports

} // namespace

PadTransfer::PadTransfer(Emitter *emitter, const std::atomic<sub_handle> &handle, const std::atomic<bool> &stop)
    : m_emitter(emitter)
    , m_handle(handle)
    , m_stop(stop)
{
}

FirmwareImage PadTransfer::readImage(const QString &imagePath)
{
    const FirmwareImage image = FirmwareImage::read(imagePath);
    if (!image.isRead()) {
        const QString systemText = QString::fromLocal8Bit(std::strerror(image.error()));
        sayError(!image.error()       ? image.problem()
                                    : image.wasOpened() ? QStringLiteral("IRBOOT. Image read failed: %1").arg(systemText)
                                                        : QStringLiteral("Can't open image file %1 %2").arg(imagePath,
                                                                                                            systemText));
    } else if (image.isEmpty()) {
        // Nothing to send is no update: the pad would keep its old firmware
        // while the run reported success.
        sayError(image.problem());
    }
    return image;
}

int PadTransfer::irBoot(const FirmwareImage &image)
{
    if (!image.problem().isEmpty())
        return -1;
    const QByteArray &bytes = image.bytes();
    const long size = bytes.size();

    int result = sub_ir_config(m_handle.load(), 38000, 10, 1, 10);
    if (result != 0) {
        sayError(QStringLiteral("SUB-20 sub_ir_config: %1").arg(QString::fromLatin1(sub_strerror(result))));
        return result;
    }
    const int total = int(size / irBlockSize);
    emit m_emitter->load_start(0, total);

    // The block area starts zeroed: an image shorter than one block sends
    // zeros after its bytes, never leftover memory. Later short blocks keep
    // the previous block's tail, as the frames always did.
    unsigned char frame[irFrameSize] = {};
    int counter = 0;
    int frames = 0;
    long sent = 0;                      // image bytes
    int countdown = progressEvery;
    for (;;) {
        const long read = qMin<long>(irBlockSize, size - sent);
        if (read == 0) {
            emit m_emitter->load_progress(total);
            emit m_emitter->load_finish();
            return 0;
        }
        std::memcpy(frame + 5, bytes.constData() + sent, size_t(read));
        if (m_stop)
            return -1;
        frame[0] = 0x55;
        frame[1] = 0x55;
        frame[2] = 0xC3;
        frame[3] = 0xEA;
        frame[4] = quint8(counter);
        frame[53] = Crc8Lte::compute(reinterpret_cast<const char *>(frame + 4), 1 + irBlockSize);
        std::memset(frame + 54, 0xFF, 8);
        for (int i = 0; i < irSends; ++i) {
            result = sub_ir_tx(m_handle.load(), irFrameSize, reinterpret_cast<char *>(frame));
            if (result != 0) {
                // Named after the call that failed: the configuration was
                // taken, the transmission was not.
                sayError(
                    QStringLiteral("SUB-20 sub_ir_tx: %1").arg(QString::fromLatin1(sub_strerror(result))));
                return result;
            }
        }
        ++frames;
        sent += read;
        if (--countdown == 0) {
            emit m_emitter->load_progress(frames);
            countdown = progressEvery;
        }
        counter = (counter + 1) % 256;
        if (counter == 0)
            counter = 1;
    }
}

int PadTransfer::modbusUpdate(const FirmwareImage &image, int slaveAddress)
{
    Modbus modbus;
    // Straight on: the run's own thread reports, as every other error does.
    QObject::connect(&modbus, &Modbus::errorString, m_emitter, [this](const QString &text) { sayError(text); },
                     Qt::DirectConnection);
    modbus.traceEnabled = true;
    modbus.broadcastPause = 100;

    if (!image.problem().isEmpty())
        return -1;
    const QByteArray &bytes = image.bytes();
    const long size = bytes.size();
    // Record numbers have four decimal digits on the pad; a larger image
    // would write its tail over records already sent.
    if ((size + modbusBlockSize - 1) / modbusBlockSize > modbusRecordLimit) {
        sayError(QStringLiteral("The firmware image %1 has %2 bytes; a Modbus update numbers at "
                                                   "most %3 records of %4 bytes (%5 bytes). Nothing was sent.")
                                        .arg(image.path())
                                        .arg(size)
                                        .arg(modbusRecordLimit)
                                        .arg(modbusBlockSize)
                                        .arg(long(modbusRecordLimit) * modbusBlockSize));
        return -1;
    }
    const int total = int(size / modbusBlockSize);
    emit m_emitter->load_start(0, total);

    char block[modbusBlockSize + 1];
    int record = 0;
    long sent = 0;
    int countdown = progressEvery;
    m_wholeImageAnswered = false;
    for (;;) {
        int length = int(qMin<long>(modbusBlockSize, size - sent));
        // A stop that landed while the last record was on its way is a stop
        // too: the update is never reported done after one.
        if (m_stop) {
            m_wholeImageAnswered = length == 0;
            return -1;
        }
        if (length == 0) {
            emit m_emitter->load_progress(total);
            return 0;
        }
        std::memcpy(block, bytes.constData() + sent, size_t(length));
        sent += length;
        // Records hold whole 16-bit registers.
        if (length % 2)
            block[length++] = 0;
        const int result = modbus.writeFileRecord(m_handle.load(), slaveAddress, 0, record, length, block);
        if (result != 0)
            return result;
        ++record;
        if (--countdown == 0) {
            emit m_emitter->load_progress(record);
            countdown = progressEvery;
        }
    }
}

QString PadTransfer::notVerifiableText(int slaveAddress)
{
    return slaveAddress == 0 ? QStringLiteral("no pad answers a broadcast, so none can be read back")
                             : QStringLiteral("the pad does not read its records back (it answers Read File Record "
                                              "with \"Illegal Function\" or with no records)");
}

int PadTransfer::modbusVerify(const FirmwareImage &image, int slaveAddress)
{
    m_notVerifiableWhy = notVerifiableText(slaveAddress);
    if (slaveAddress == 0)
        return notVerifiable;
    Modbus modbus;
    // Why a read failed: a pad that cannot read back is no error.
    QString said;
    QObject::connect(&modbus, &Modbus::errorString, [&said](const QString &text) { said = text; });
    modbus.traceEnabled = true;

    // Compared with the bytes that were sent, not with the file as it is now.
    if (!image.problem().isEmpty())
        return -1;
    const QByteArray &bytes = image.bytes();
    const long size = bytes.size();
    const int total = int(size / modbusBlockSize);
    emit m_emitter->load_start(0, total);
    char expected[modbusBlockSize + 1];
    char held[modbusBlockSize + 1];
    int record = 0;
    long offset = 0;
    int countdown = progressEvery;
    int result = 0;
    while (offset < size) {
        if (m_stop) {
            result = -1;
            break;
        }
        int length = int(qMin<long>(modbusBlockSize, size - offset));
        std::memcpy(expected, bytes.constData() + offset, size_t(length));
        const int imageBytes = length;
        // As written: whole registers, an odd last byte followed by a zero.
        if (length % 2)
            expected[length++] = 0;
        result = modbus.readFileRecord(m_handle.load(), slaveAddress, 0, record, length, held);
        if (record == 0 && ((result == modbusException && modbus.lastException() == 1) || result == Modbus::noRecords)) {
            result = notVerifiable;
            break;
        }
        // The pad acknowledged every record it was written: a read-back it
        // does not answer, refuses or cannot complete leaves the image
        // written and not verified. Only bytes that differ fail it.
        if (result != 0) {
            m_notVerifiableWhy = result == Modbus::noRecords
                ? QStringLiteral("the pad answered the read-back of record %1 with no records").arg(record)
                : QStringLiteral("the read-back of record %1 failed (%2)").arg(record).arg(said.trimmed());
            result = notVerifiable;
            break;
        }
        const auto differ = std::mismatch(expected, expected + imageBytes, held);
        if (differ.first != expected + imageBytes) {
            sayError(
                QStringLiteral("The pad holds a different image: read back, the byte at offset %1 (of %2) is 0x%3, "
                               "not 0x%4.")
                    .arg(offset + long(differ.first - expected))
                    .arg(size)
                    .arg(uint(quint8(*differ.second)), 2, 16, QLatin1Char('0'))
                    .arg(uint(quint8(*differ.first)), 2, 16, QLatin1Char('0')));
            result = imageDiffers;
            break;
        }
        offset += imageBytes;
        ++record;
        if (--countdown == 0) {
            emit m_emitter->load_progress(record);
            countdown = progressEvery;
        }
    }
    if (result == 0)
        emit m_emitter->load_progress(total);
    return result;
}

int PadTransfer::modbusRead(int slaveAddress, QByteArray *firmware)
{
    firmware->clear();
    if (slaveAddress == 0) {
        sayReadError(QStringLiteral("A broadcast cannot be read: no pad answers it. Name the pad's address."));
        return unreadable;
    }
    Modbus modbus;
    QString said;
    QObject::connect(&modbus, &Modbus::errorString, [&said](const QString &text) { said = text; });
    modbus.traceEnabled = true;
    // The length is the pad's to say: the bar only moves.
    emit m_emitter->load_start(0, 0);
    char held[modbusBlockSize + 1];
    for (int record = 0; record < modbusRecordLimit; ++record) {
        if (m_stop) {
            sayReadError(QStringLiteral("Stopped after %1 records; the pad was not read.").arg(record));
            firmware->clear();
            return -1;
        }
        const int result = modbus.readFileRecord(m_handle.load(), slaveAddress, 0, record, modbusBlockSize, held);
        const bool noMore = (result == modbusException && modbus.lastException() == 2) || result == Modbus::noRecords;
        if (noMore && record > 0)
            return 0;
        if (noMore || (result == modbusException && modbus.lastException() == 1 && record == 0)) {
            sayReadError(noMore ? QStringLiteral("The pad at address %1 holds no records to read.")
                                  .arg(addressText(slaveAddress))
                            : QStringLiteral("The pad at address %1 does not read its records back (it answers "
                                             "Read File Record with \"Illegal Function\"); it cannot be read.")
                                  .arg(addressText(slaveAddress)));
            return unreadable;
        }
        if (result != 0) {
            sayReadError(QStringLiteral("The read of record %1 failed: %2").arg(record).arg(said.trimmed()));
            firmware->clear();
            return result;
        }
        firmware->append(held, modbusBlockSize);
        emit m_emitter->load_progress(int(firmware->size()));
    }
    sayReadError(QStringLiteral("The pad answered all %1 records without saying there are no more; it was not read.")
                 .arg(modbusRecordLimit));
    firmware->clear();
    return unreadable;
}

UpdateOutcome PadTransfer::readOutcome(int result) const
{
    const QString why = m_firstError;
    if (result == 0)
        return UpdateOutcome(UpdateOutcome::Read);
    if (m_stop.load())
        return UpdateOutcome(UpdateOutcome::Stopped, why);
    if (result == unreadable)
        return UpdateOutcome(UpdateOutcome::Unreadable, why);
    if (result == modbusTimeout)
        return UpdateOutcome(UpdateOutcome::Timeout, why);
    if (result == modbusException)
        return UpdateOutcome(UpdateOutcome::DeviceRefused, why);
    return UpdateOutcome(UpdateOutcome::Failed, why);
}

int PadTransfer::update(const FirmwareImage &image, Road road, int slaveAddress, bool verify,
                        Verification *verification, const std::function<void()> &readingBack)
{
    *verification = NotAsked;
    int result = road == InfraredRoad ? irBoot(image) : modbusUpdate(image, slaveAddress);
    m_written = result == 0;
    if (result != 0 || !verify)
        return result;
    if (road == InfraredRoad) {
        *verification = NoWayBack;
        return 0;
    }
    if (readingBack)
        readingBack();
    result = modbusVerify(image, slaveAddress);
    // A pad that cannot read back was still written: success, not verified.
    if (result == notVerifiable) {
        *verification = NotVerifiable;
        return 0;
    }
    if (result == 0)
        *verification = Verified;
    return result;
}

QString PadTransfer::addressText(int slaveAddress)
{
    return QStringLiteral("0x%1").arg(QString::number(slaveAddress, 16).toUpper().rightJustified(2, QLatin1Char('0')));
}

UpdateHistory::Entry PadTransfer::historyEntry(Road road, int slaveAddress, const QString &imagePath)
{
    UpdateHistory::Entry known;
    known.road = road == InfraredRoad ? QStringLiteral("ir") : QStringLiteral("modbus");
    known.model = QStringLiteral("pad");
    known.place = road == InfraredRoad ? QStringLiteral("infrared") : addressText(slaveAddress);
    known.imagePath = imagePath;
    return known;
}

void PadTransfer::sayReadError(const QString &text)
{
    sayError(m_readConsequence.isEmpty() ? text : text + QLatin1Char(' ') + m_readConsequence);
}

void PadTransfer::sayError(const QString &text)
{
    if (m_firstError.isEmpty())
        m_firstError = text.trimmed();
    emit m_emitter->errorSignal(text);
}

UpdateOutcome PadTransfer::outcome(int result, Verification verification, Road road, int slaveAddress) const
{
    const bool infrared = road == InfraredRoad;
    if (result == 0 && verification == Verified)
        return UpdateOutcome(UpdateOutcome::Verified);
    if (result == 0 && verification == NoWayBack)
        return UpdateOutcome(UpdateOutcome::NotVerifiable, QStringLiteral("infrared has no way back from the pad"));
    if (result == 0 && verification == NotVerifiable)
        return UpdateOutcome(UpdateOutcome::NotVerifiable, m_notVerifiableWhy);
    if (result == 0)
        return UpdateOutcome(UpdateOutcome::Updated);
    const QString why = m_firstError;
    if (result == imageDiffers)
        return UpdateOutcome(UpdateOutcome::Differs, why);
    if (m_stop.load())
        return UpdateOutcome(UpdateOutcome::Stopped,
                             m_written ? QStringLiteral("Stopped while the records were read back; the pad got the "
                                                        "whole image, but it was not verified.")
                             : m_wholeImageAnswered && !infrared && slaveAddress == 0
                                 ? QStringLiteral("Stopped as the last record was broadcast; nothing confirms that a "
                                                  "pad got the whole image.")
                             : m_wholeImageAnswered
                                 ? QStringLiteral("Stopped as the last record was answered; the pad holds the whole "
                                                  "image, but it was not verified.")
                                 : QStringLiteral("Stopped; the pad did not get the whole image."));
    if (result == -1)
        return UpdateOutcome(UpdateOutcome::ImageRefused, why);
    if (!infrared && result == modbusTimeout)
        return UpdateOutcome(UpdateOutcome::Timeout, QStringLiteral("The pad did not answer (%1).")
                                                         .arg(why.isEmpty() ? QStringLiteral("Modbus Timeout") : why));
    if ((!infrared && result == modbusException)
        || (infrared && (result == SUB_ERROR_CONFIG || result == SUB_ERROR_NOT_SUPPORTED)))
        return UpdateOutcome(UpdateOutcome::DeviceRefused, why);
    return UpdateOutcome(UpdateOutcome::Failed,
                         why.isEmpty() ? QStringLiteral("The transfer failed (code %1).").arg(result) : why);
}
