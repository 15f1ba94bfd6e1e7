#include "dfuengine.h"

#include "backupstore.h"

#include "emitter.h"
#include "firmwareimage.h"
#include "imagefile.h"

#include <QElapsedTimer>
#include <QThread>

#include <libusb.h>


#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const quint8 requestOut = 0x21;
const quint8 dfuDnloadRequest = 1;
const quint8 dfuUploadRequest = 2;
const quint8 dfuClrStatusRequest = 4;
const quint8 dfuAbortRequest = 6;
const unsigned blockTimeout = 5000;    // ms, for every DFU_DNLOAD
const int detachTimeout = 1000;        // ms, announced to the device
const quint8 functionalDescriptorType = 0x21;
const int pollPause = 10;              // ms between DFU_GETSTATUS from a device that asks for nothing
const long largestBlockCount = 0xFFFF;
// Result of a block the device did not take as a whole.
const int badAddress = -14;

// DFU_ABORT: back to dfuIDLE from any state of a download or an upload.
int dfuAbort(const DfuInterface &dfu)
{
    return libusb_control_transfer(dfu.handle, requestOut, dfuAbortRequest, 0, dfu.interface, nullptr, 0,
                                   blockTimeout);
}

QString usbErrorText(int code)
{
    return QString::fromLatin1(libusb_strerror(code));
}

// What a device that leaves in the middle of a download leaves behind.
QString leftTheBus(int block, int blocks)
{
    return QStringLiteral("The device left the bus at block %1 of %2; it holds no complete image. Plug it in again "
                          "and retry.").arg(block).arg(blocks);
}

} // namespace

DfuEngine::DfuEngine(Emitter *emitter)
    : m_emitter(emitter)
{
}

int DfuEngine::update(libusb_device *device, const QString &imagePath)
{
    // What this run does; a DETACH sent earlier stays outstanding.
    m_detach.awaited = false;
    m_detach.busNumber = -1;
    m_detach.portNumber = -1;
    DfuInterface dfu;
    dfu.device = device;
    int result = libusb_open(device, &dfu.handle);
    if (result != 0) {
        dfu.handle = nullptr;
        // Missing rights are the usual cause on Linux: say so, and how to
        // mend it, rather than a bare error name.
        if (result == LIBUSB_ERROR_ACCESS)
            emit m_emitter->errorSignal(noAccessText());
        else
            emit m_emitter->errorSignal(QStringLiteral("Cannot open the USB device: %1").arg(usbErrorText(result)));
        return result;
    }

    // When nothing is found, configuration 0 and interface 0 stay in place
    // and the requests below tell whether the device answers there anyway.
    findFirstDfuInterface(dfu);
    DfuFunctionalDescriptor functional;
    std::memset(&functional, 0, sizeof functional);
    readDfuFunctionalDescriptor(device, dfu.configuration, dfu.interface, functionalDescriptorType, 0, &functional,
                                int(sizeof functional));
    const int transferSize = libusb_le16_to_cpu(functional.wTransferSize);
    m_attributes = functional.bmAttributes;

    result = libusb_claim_interface(dfu.handle, dfu.interface);
    if (result == 0) {
        result = runOnClaimedInterface(dfu, transferSize, imagePath);
        libusb_release_interface(dfu.handle, dfu.interface);
    } else {
        emit m_emitter->errorSignal(QStringLiteral("Cannot claim the DFU interface of the USB device: %1")
                                        .arg(usbErrorText(result)));
    }
    libusb_close(dfu.handle);
    return result;
}

int DfuEngine::runOnClaimedInterface(const DfuInterface &dfu, int transferSize, const QString &imagePath)
{
    int result = libusb_set_interface_alt_setting(dfu.handle, dfu.interface, 0);
    DfuStatus status;
    if (result >= 0)
        result = dfuGetStatus(dfu.handle, dfu.interface, status);
    // A read cut short (its program killed) leaves the device in
    // dfuUPLOAD-IDLE, where nothing was being written: an ABORT brings it
    // back to dfuIDLE, as DFU provides, rather than failing a sound device.
    if (result >= 0 && status.bState == DfuStateUploadIdle) {
        result = dfuAbort(dfu);
        if (result >= 0)
            result = dfuGetStatus(dfu.handle, dfu.interface, status);
    }
    if (result < 0) {
        emit m_emitter->errorSignal(QStringLiteral("The USB device does not answer DFU requests: %1")
                                        .arg(usbErrorText(result)));
        return result;
    }
    switch (status.bState) {
    case DfuStateDfuIdle: {
        if (m_readInto) {
            m_detach.issued = false;
            return upload(dfu, transferSize, m_readInto);
        }
        if (!m_backupFolder.isEmpty()) {
            const int kept = backUp(dfu, transferSize);
            if (kept < 0) {
                m_detach.issued = false;
                return kept;
            }
        }
        const int downloaded = download(imagePath, dfu, transferSize);
        m_detach.issued = false;
        if (downloaded < 0 && downloaded != interrupted)
            emit m_emitter->errorSignal(QStringLiteral("Download error!"));
        return downloaded;
    }
    case DfuStateAppIdle:
    case DfuStateAppDetach:
        if (!m_detachAllowed) {
            emit m_emitter->errorSignal(QStringLiteral("The device came back in its application, not in its "
                                                       "bootloader; nothing was written."));
            return notInBootloader;
        }
        // Stored before the DETACH: the device may leave the bus as soon as
        // it has the request.
        m_detach.busNumber = libusb_get_bus_number(dfu.device);
        m_detach.portNumber = libusb_get_port_number(dfu.device);
        // A device detached earlier that has not yet come back is left to
        // re-enumerate in peace, and is still awaited: nothing was written.
        if (m_detach.issued) {
            m_detach.awaited = true;
            if (m_detachReport)
                m_detachReport(m_detach);
            return result;
        }
        result = dfuDetach(dfu.handle, dfu.interface, detachTimeout);
        if (result >= 0) {
            m_detach.issued = true;
            m_detach.awaited = true;
            if (m_detachReport)
                m_detachReport(m_detach);
        } else {
            emit m_emitter->errorSignal(QStringLiteral("The device did not accept the request to start its "
                                                       "bootloader: %1")
                                            .arg(usbErrorText(result)));
        }
        return result;
    case DfuStateError:
        m_detach.issued = false;
        reportState(status);
        return -1;
    default:
        reportState(status);
        return -1;
    }
}

void DfuEngine::reportState(const DfuStatus &status)
{
    QString text;
    if (status.bState == DfuStateError)
        text = QStringLiteral("The device reports an error (DFU state dfuERROR, status %1); the image was not "
                              "written.").arg(status.bStatus);
    else
        text = QStringLiteral("The device is in DFU state %1 (%2), in which it cannot take an image; the image "
                              "was not written.").arg(QLatin1String(dfuStateName(status.bState))).arg(status.bState);
    emit m_emitter->errorSignal(text + QStringLiteral(" Unplug the device, plug it in again and retry."));
}

int DfuEngine::download(const QString &imagePath, const DfuInterface &dfu, int transferSize)
{
    // The block size and the block total both come from the transfer size;
    // without one there is no way to cut the image.
    if (transferSize <= 0) {
        emit m_emitter->errorSignal(QStringLiteral("The device does not announce a DFU transfer size; the image "
                                                   "was not written."));
        return -1;
    }

    // Read once, here: the blocks and the read-back are these bytes, whatever
    // happens to the file while the device takes them.
    m_taken = 0;
    m_sent = m_image.isRead() ? m_image : FirmwareImage::read(imagePath);
    if (!m_sent.isRead()) {
        emit m_emitter->errorSignal(m_sent.problem());
        return m_sent.error() > 0 ? -m_sent.error() : -1;
    }
    const QByteArray &bytes = m_sent.bytes();
    const long fileSize = long(bytes.size());
    // A zero-length DFU_DNLOAD in dfuIDLE is a protocol error: a standard
    // device answers it with dfuERROR and then refuses the next image too.
    // An empty image therefore never reaches the device.
    if (fileSize <= 0) {
        emit m_emitter->errorSignal(m_sent.problem());
        return -1;
    }

    // Blocks are numbered in 16 bits, and the request that ends the image
    // carries their count: an image needing more is refused whole.
    const long blocksNeeded = (fileSize + transferSize - 1) / transferSize;
    if (blocksNeeded > largestBlockCount) {
        emit m_emitter->errorSignal(QStringLiteral("The firmware image %1 is too large for this device: in blocks of "
                                                   "%2 bytes it can take at most %3 bytes. Nothing was written.")
                                        .arg(imagePath)
                                        .arg(transferSize)
                                        .arg(qint64(largestBlockCount) * transferSize));
        return -1;
    }

    std::vector<unsigned char> buffer(static_cast<size_t>(transferSize));
    const int total = int(fileSize / transferSize);
    const int blocks = int((fileSize + transferSize - 1) / transferSize);
    emit m_emitter->load_start(0, total);

    int result = -1;
    int block = 0;
    long remaining = fileSize;
    int toggle = 2;
    bool stopped = false;
    bool refusedBlock = false;          // the device said dfuERROR
    m_verification = NotAsked;
    m_verificationText.clear();
    for (;;) {
        const int chunk = int(qMin<long>(remaining, transferSize));
        std::memcpy(buffer.data(), bytes.constData() + (fileSize - remaining), size_t(chunk));

        const int sent = libusb_control_transfer(dfu.handle, requestOut, dfuDnloadRequest, quint16(block),
                                                 dfu.interface, buffer.data(), quint16(chunk), blockTimeout);
        if (sent == LIBUSB_ERROR_NO_DEVICE) {
            emit m_emitter->errorSignal(leftTheBus(block + 1, blocks));
            result = sent;
            break;
        }
        if (sent != chunk) {
            emit m_emitter->errorSignal(QStringLiteral("Bad address."));
            result = badAddress;
            break;
        }

        DfuStatus status;
        const int polled = awaitBlockTaken(dfu, &status, &stopped);
        if (stopped)
            break;
        if (polled < 0) {
            reportStatusFailure(polled, status, block + 1, blocks);
            result = polled == unexpectedState ? badAddress : polled;
            break;
        }
        if (status.bState == DfuStateError) {
            // Only a whole status reply says the device is in dfuERROR.
            refusedBlock = polled == 6;
            result = badAddress;
            break;
        }

        remaining -= chunk;
        m_taken = fileSize - remaining;
        if (toggle == 1) {
            emit m_emitter->load_progress(block);
            toggle = 2;
        } else {
            toggle = 1;
        }
        if (remaining <= 0) {
            result = 0;
            break;
        }
        ++block;
        if (m_stop && *m_stop) {
            stopped = true;
            break;
        }
    }

    // A stop that landed while the last block was taken: the device is not
    // told the image is complete.
    if (result == 0 && m_stop && *m_stop) {
        result = -1;
        stopped = true;
    }

    if (result == 0) {
        // The final zero-length block tells the device the image is complete.
        // It goes out only when every block was taken, and the update is done
        // only when the device has taken it and made the image its firmware:
        // a device that refuses the end, fails its check of the image or
        // leaves before it is done does not hold a working image.
        const int ended = libusb_control_transfer(dfu.handle, requestOut, dfuDnloadRequest, quint16(block + 1),
                                                  dfu.interface, nullptr, 0, blockTimeout);
        // A device that took every block may restart as soon as it has the
        // end, even during the status stage of the request, so that the
        // request fails with whatever the bus makes of the reset. Only a
        // STALL is the device's own refusal of the end; after anything else
        // its status tells what it made of the image, if it still answers.
        if (ended == LIBUSB_ERROR_PIPE) {
            emit m_emitter->errorSignal(QStringLiteral("The device did not accept the end of the image (%1); it does "
                                                       "not hold it.").arg(usbErrorText(ended)));
            leaveDownload(dfu, false);
            return badAddress;
        }
        if (ended == LIBUSB_ERROR_NO_DEVICE) {
            restartedUnconfirmed(ended);
        } else {
            const int manifested = awaitManifestation(dfu);
            if (manifested < 0)
                return manifested;
        }
        // A device making the image its firmware cannot be stopped, and is
        // waited for; a stop asked meanwhile still ends the update as
        // stopped, never as done, and says what the device holds.
        if (m_stop && *m_stop) {
            emit m_emitter->errorSignal(m_verification == Unconfirmed
                                            ? QStringLiteral("Stopped as the device restarted with the whole image; it "
                                                             "did not confirm what it made of it.")
                                            : QStringLiteral("Stopped while the device was making the image its "
                                                             "firmware, which cannot be cut short; it finished, and "
                                                             "holds the new image (not verified)."));
            return interrupted;
        }
        if (m_verification != Unconfirmed) {
            const int verified = verifyImage(dfu, transferSize);
            if (verified < 0)
                return verified;
        }
        emit m_emitter->load_progress(total);
        return 0;
    }
    // Anything else ends the download: the device drops the partial image
    // and waits in its bootloader for a whole one, rather than taking what
    // it has for complete.
    leaveDownload(dfu, refusedBlock);
    if (stopped) {
        emit m_emitter->errorSignal(QStringLiteral("Stopped after %1 of %2 bytes; the device keeps its bootloader "
                                                   "and waits for a whole image.")
                                        .arg(fileSize - remaining)
                                        .arg(fileSize));
        return interrupted;
    }
    return result;
}

int DfuEngine::awaitBlockTaken(const DfuInterface &dfu, DfuStatus *status, bool *stopped)
{
    // Asked until the device has taken the block, leaving it alone between
    // two requests for as long as it asks (bwPollTimeout; 10 ms when it
    // asks for nothing). A device that stays busy past the busy limit, or
    // asks for a pause that would pass it, is given up on; so is the wait
    // when the run is told to stop.
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const int polled = dfuGetStatus(dfu.handle, dfu.interface, *status);
        if (polled < 0 || status->bState == DfuStateDnloadIdle || status->bState == DfuStateError)
            return polled;
        // A device that is neither busy with the block nor done with it has
        // lost the download: waiting on gains nothing.
        if (status->bState != DfuStateDnloadSync && status->bState != DfuStateDnbusy)
            return unexpectedState;
        if (!pauseBeforeNextPoll(waited, status->bwPollTimeout, stopped))
            return *stopped ? LIBUSB_ERROR_INTERRUPTED : LIBUSB_ERROR_TIMEOUT;
    }
}

bool DfuEngine::pauseBeforeNextPoll(const QElapsedTimer &waited, quint32 pollTimeout, bool *stopped)
{
    // As long as the device asks for (DFU 1.1 wants no request before
    // then, and asking later only loses time); 10 ms from one that asks
    // for nothing.
    const qint64 pause = pollTimeout > 0 ? qint64(pollTimeout) : qint64(pollPause);
    if (waited.elapsed() + pause > m_busyLimit)
        return false;
    QElapsedTimer paused;
    paused.start();
    while (paused.elapsed() < pause) {
        if (stopped && m_stop && *m_stop) {
            *stopped = true;
            return false;
        }
        QThread::msleep(ulong(qMin<qint64>(pollPause, pause - paused.elapsed())));
    }
    return true;
}

int DfuEngine::awaitManifestation(const DfuInterface &dfu)
{
    // bmAttributes: bit 2 manifestation tolerant (the device answers again
    // in dfuIDLE), bit 3 will detach (it leaves the bus by itself).
    const bool tolerant = m_attributes & 0x04;
    const bool detachesItself = m_attributes & 0x08;
    QElapsedTimer waited;
    waited.start();
    bool manifesting = false;
    m_idleAfterManifestation = false;
    for (;;) {
        DfuStatus status;
        const int polled = dfuGetStatus(dfu.handle, dfu.interface, status);
        if (polled < 0) {
            // A device that is not manifestation tolerant need not answer
            // once it has begun; one that said it detaches by itself leaves.
            if ((polled == LIBUSB_ERROR_NO_DEVICE && detachesItself && !tolerant) || (manifesting && !tolerant))
                return 0;
            // Whatever it announced, a device that took every block and the
            // end of the image and then stops answering (it resets, leaves,
            // or is busy restarting) was written; only its word on the image
            // is missing. Only a status that says so is a refusal.
            restartedUnconfirmed(polled);
            return 0;
        }
        switch (status.bState) {
        case DfuStateDfuIdle:
            m_idleAfterManifestation = true;
            return 0;
        case DfuStateManifestWaitReset:
            return 0;
        case DfuStateManifestSync:
        case DfuStateManifest:
            manifesting = manifesting || status.bState == DfuStateManifest;
            break;
        case DfuStateError:
            emit m_emitter->errorSignal(QStringLiteral("The device refused the image at its end (DFU status %1): it "
                                                       "does not hold it.").arg(status.bStatus));
            leaveDownload(dfu, true);
            return badAddress;
        default:
            emit m_emitter->errorSignal(QStringLiteral("The device reports DFU state %1 after the end of the image, "
                                                       "which no download leads to; it may not hold the image.")
                                            .arg(QLatin1String(dfuStateName(status.bState))));
            return badAddress;
        }
        // Not stopped: the device is writing the image into its flash.
        if (!pauseBeforeNextPoll(waited, status.bwPollTimeout, nullptr)) {
            emit m_emitter->errorSignal(QStringLiteral("The device did not finish making the image its firmware "
                                                       "within %1 seconds; it may not hold it.")
                                            .arg((m_busyLimit + 999) / 1000));
            return LIBUSB_ERROR_TIMEOUT;
        }
    }
}

void DfuEngine::restartedUnconfirmed(int usbError)
{
    m_verification = Unconfirmed;
    m_verificationText = usbError == LIBUSB_ERROR_NO_DEVICE
                             ? QStringLiteral("the device restarted without confirming")
                             : QStringLiteral("the device did not answer after the end of the image (%1)")
                                   .arg(usbErrorText(usbError));
}

void DfuEngine::leaveDownload(const DfuInterface &dfu, bool inError)
{
    // DFU 1.1 leaves dfuERROR by DFU_CLRSTATUS only (ABORT is refused
    // there); every other state of a download is left by DFU_ABORT. A device
    // whose state is not known is asked when ABORT is refused.
    if (!inError) {
        const int aborted = dfuAbort(dfu);
        if (aborted != LIBUSB_ERROR_PIPE)
            return;
        DfuStatus status;
        if (dfuGetStatus(dfu.handle, dfu.interface, status) != 6 || status.bState != DfuStateError)
            return;
    }
    libusb_control_transfer(dfu.handle, requestOut, dfuClrStatusRequest, 0, dfu.interface, nullptr, 0,
                            blockTimeout);
}

int DfuEngine::verifyImage(const DfuInterface &dfu, int transferSize)
{
    m_verification = NotAsked;
    m_verificationText.clear();
    if (!m_verify)
        return 0;
    m_verification = NotVerifiable;
    // bmAttributes bit 1: bitCanUpload.
    if (!(m_attributes & 0x02)) {
        m_verificationText = QStringLiteral("the device cannot read its image back");
        return 0;
    }
    if (!m_idleAfterManifestation) {
        m_verificationText = QStringLiteral("the device restarts once it has the image");
        return 0;
    }
    // Compared with the bytes that were sent, not with the file as it is now.
    const QByteArray &bytes = m_sent.bytes();
    const long fileSize = long(bytes.size());
    // Blocks of the transfer size from block 0; a shorter one ends the
    // device's image. What it holds past the image (the rest of its flash)
    // is not compared: once the image's length has come, the upload is
    // aborted, which leaves the device in dfuIDLE.
    std::vector<unsigned char> read(static_cast<size_t>(transferSize));
    long offset = 0;
    int result = 0;
    bool ended = false;                 // the device sent a short block: dfuIDLE again
    for (quint16 block = 0; offset < fileSize; ++block) {
        if (m_stop && *m_stop) {
            emit m_emitter->errorSignal(QStringLiteral("Stopped while the image was read back: it was written, "
                                                       "but not verified."));
            result = interrupted;
            break;
        }
        const int got = libusb_control_transfer(dfu.handle, 0xA1, dfuUploadRequest, block, dfu.interface,
                                                read.data(), quint16(transferSize), blockTimeout);
        if (got < 0) {
            m_verificationText = QStringLiteral("the device did not answer the read-back (%1)").arg(usbErrorText(got));
            ended = got == LIBUSB_ERROR_NO_DEVICE;
            break;
        }
        ended = got < transferSize;
        const int compared = int(qMin<long>(got, fileSize - offset));
        const auto expected = reinterpret_cast<const unsigned char *>(bytes.constData()) + offset;
        const auto differ = std::mismatch(expected, expected + compared, read.begin());
        if (differ.first != expected + compared || (ended && offset + got < fileSize)) {
            const long at = offset + long(differ.first - expected);
            m_verification = Differs;
            emit m_emitter->errorSignal(
                at < fileSize && differ.first != expected + compared
                    ? QStringLiteral("The device holds a different image: read back, the byte at offset %1 (of "
                                     "%2) is 0x%3, not 0x%4.").arg(at).arg(fileSize)
                          .arg(uint(*differ.second), 2, 16, QLatin1Char('0'))
                          .arg(uint(*differ.first), 2, 16, QLatin1Char('0'))
                    : QStringLiteral("The device holds a different image: read back, it ends after %1 of %2 "
                                     "bytes.").arg(offset + got).arg(fileSize));
            result = imageDiffers;
            break;
        }
        offset += compared;
        if (ended)
            break;
    }
    if (!ended)
        dfuAbort(dfu);
    if (result == 0 && offset >= fileSize && m_verificationText.isEmpty())
        m_verification = Verified;
    return result;
}

void DfuEngine::sayUploadFailed(const QString &text)
{
    emit m_emitter->errorSignal(m_backingUp ? text + QLatin1Char(' ') + nothingWrittenText() : text);
}

QString DfuEngine::nothingWrittenText()
{
    return QStringLiteral("Without a backup of what the device holds, nothing was written.");
}

int DfuEngine::backUp(const DfuInterface &dfu, int transferSize)
{
    const QString nothingWritten = nothingWrittenText();
    QByteArray firmware;
    m_backingUp = true;
    const int read = upload(dfu, transferSize, &firmware);
    m_backingUp = false;
    if (read < 0)
        return read;
    // A device that sends nothing holds nothing that could be put back.
    if (firmware.isEmpty()) {
        emit m_emitter->errorSignal(QStringLiteral("The device sent no firmware to back up. ") + nothingWritten);
        return unreadable;
    }
    BackupStore store(m_backupFolder);
    const QString sha256 = store.store(firmware);
    if (sha256.isEmpty()) {
        emit m_emitter->errorSignal(store.problem() + QLatin1Char(' ') + nothingWritten);
        return backupNotKept;
    }
    m_backup.sha256 = sha256;
    m_backup.size = firmware.size();
    if (m_backupReport)
        m_backupReport(m_backup);
    return 0;
}

int DfuEngine::upload(const DfuInterface &dfu, int transferSize, QByteArray *firmware)
{
    firmware->clear();
    // bmAttributes bit 1: bitCanUpload.
    if (!(m_attributes & 0x02)) {
        sayUploadFailed(QStringLiteral("The device cannot be read: its DFU descriptor does not offer "
                                       "upload."));
        return unreadable;
    }
    if (transferSize <= 0) {
        sayUploadFailed(QStringLiteral("The device does not announce a DFU transfer size; it cannot be "
                                       "read."));
        return -1;
    }
    // The length is the device's to say: the bar only moves.
    emit m_emitter->load_start(0, 0);
    std::vector<unsigned char> block(static_cast<size_t>(transferSize));
    // The block number is 16 bits wide and wraps, as the device counts.
    for (quint32 number = 0;; ++number) {
        if (m_stop && *m_stop) {
            dfuAbort(dfu);
            sayUploadFailed(QStringLiteral("Stopped after %1 bytes; the device was not read.")
                                .arg(firmware->size()));
            firmware->clear();
            return interrupted;
        }
        const int got = libusb_control_transfer(dfu.handle, 0xA1, dfuUploadRequest, quint16(number), dfu.interface,
                                                block.data(), quint16(transferSize), blockTimeout);
        if (got < 0) {
            sayUploadFailed(got == LIBUSB_ERROR_NO_DEVICE
                                ? QStringLiteral("The device left the bus after %1 bytes; it was not "
                                                 "read.").arg(firmware->size())
                                : QStringLiteral("The device did not answer the upload of block %1: %2")
                                      .arg(number)
                                      .arg(usbErrorText(got)));
            firmware->clear();
            return got;
        }
        if (qint64(firmware->size()) + got > m_readLimit) {
            dfuAbort(dfu);
            sayUploadFailed(QStringLiteral("The device sent more than %1 MiB without ending its image; "
                                           "it was not read.").arg(m_readLimit / (1024 * 1024)));
            firmware->clear();
            return readTooLong;
        }
        firmware->append(reinterpret_cast<const char *>(block.data()), got);
        emit m_emitter->load_progress(int(firmware->size()));
        // A shorter block (a zero-length one after a whole last block) ends
        // the image; the device is in dfuIDLE again.
        if (got < transferSize)
            return 0;
    }
}

void DfuEngine::reportStatusFailure(int polled, const DfuStatus &status, int block, int blocks)
{
    if (polled == LIBUSB_ERROR_NO_DEVICE)
        emit m_emitter->errorSignal(leftTheBus(block, blocks));
    else if (polled == unexpectedState)
        emit m_emitter->errorSignal(QStringLiteral("The device reports DFU state %1 after block %2 of %3, which no "
                                                   "download leads to; the image was not written.")
                                        .arg(QLatin1String(dfuStateName(status.bState)))
                                        .arg(block)
                                        .arg(blocks));
    else
        emit m_emitter->errorSignal(QStringLiteral("Error timeout."));
}

QString DfuEngine::noAccessText()
{
    return QStringLiteral("This user may not open the USB device: install Ordane's device access rules "
                          "(bash scripts/install.sh, or copy 70-ordane-firmware-tools.rules as the README says) "
                          "and plug the device in again.");
}


UpdateOutcome DfuEngine::outcomeOf(int result, Verification verification, const QString &verificationText,
                                   const QString &said, bool verify)
{
    if (result >= 0) {
        switch (verification) {
        case Verified:
            return UpdateOutcome(UpdateOutcome::Verified);
        case NotVerifiable:
        case Unconfirmed:
            // Written, and nothing said what the device made of it.
            return UpdateOutcome(verify ? UpdateOutcome::NotVerifiable : UpdateOutcome::Updated, verificationText);
        default:
            return UpdateOutcome(UpdateOutcome::Updated);
        }
    }
    const QString why = said.isEmpty() ? QString::fromLatin1(libusb_strerror(result)) : said;
    switch (result) {
    case interrupted:
        return UpdateOutcome(UpdateOutcome::Stopped, why);
    case notInBootloader:
        return UpdateOutcome(UpdateOutcome::DeviceRefused, why);
    case imageDiffers:
        return UpdateOutcome(UpdateOutcome::Differs, why);
    case unreadable:
    case readTooLong:
        return UpdateOutcome(UpdateOutcome::Unreadable, why);
    case backupNotKept:
        return UpdateOutcome(UpdateOutcome::Failed, why);
    case LIBUSB_ERROR_ACCESS:
        return UpdateOutcome(UpdateOutcome::NoAccess, why);
    case LIBUSB_ERROR_BUSY:
        return UpdateOutcome(UpdateOutcome::NoAccess, why + QLatin1String(" Another program holds the device."));
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
        return UpdateOutcome(UpdateOutcome::NoDevice, why);
    case LIBUSB_ERROR_TIMEOUT:
        return UpdateOutcome(UpdateOutcome::Timeout, why);
    default:
        return UpdateOutcome(UpdateOutcome::DeviceRefused, why);
    }
}
