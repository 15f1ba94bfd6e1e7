#ifndef DFUENGINE_H
#define DFUENGINE_H

#include "updateoutcome.h"
#include "dfuprotocol.h"
#include "firmwareimage.h"

#include <QString>

#include <atomic>
#include <functional>

class QElapsedTimer;

class Emitter;

// One DFU run against one USB device: a device in its application is told to
// detach (and where it sits on the bus is remembered for its return); a
// device in DFU mode gets the image streamed in blocks of its transfer size.
// It reports only through the Emitter, from whatever thread it runs on.
//
// What it did about a device in its application is reported (detach()),
// never written into the caller's state: the update owner publishes it.
class DfuEngine
{
public:
    // What the run did about detaching its device.
    struct Detach
    {
        // A DETACH is outstanding: sent by this run, or by an earlier one
        // whose device has not come back yet.
        bool issued = false;
        // The device is to come back in its bootloader where it left.
        bool awaited = false;
        // Where it sat on the bus, stored before the DETACH went out.
        int busNumber = -1;
        int portNumber = -1;
    };

    explicit DfuEngine(Emitter *emitter);

    // A DETACH sent by an earlier run is still outstanding: a device found
    // in its application again is left to re-enumerate, not told twice.
    void setDetachIssued(bool issued) { m_detach.issued = issued; }
    Detach detach() const { return m_detach; }
    // Called on the run's thread as soon as the device is to come back
    // (before update() returns: it may be back by then).
    void setDetachReport(const std::function<void(const Detach &)> &report) { m_detachReport = report; }

    // A download asked to stop ends after the block in flight (or during a
    // long wait for the device to take it), tells the device to abort (so
    // that it never takes the partial image for a whole one) and returns
    // `interrupted`. Without a flag it always runs to the end.
    void setStopFlag(const std::atomic<bool> *stop) { m_stop = stop; }
    static const int interrupted = -10;
    // The second phase of a two-phase update writes a device that came back
    // in its bootloader. One that still answers in its application there was
    // not restarted: it is told nothing more, and the run fails with
    // `notInBootloader`.
    void setDetachAllowed(bool allowed) { m_detachAllowed = allowed; }
    static const int notInBootloader = -11;

    // Reading the image back after a download, and what came of it.
    enum Verification {
        NotAsked,
        Verified,               // read back with DFU_UPLOAD: byte for byte the image
        NotVerifiable,          // written, but the device cannot be read back (verificationText says why)
        Differs,                // read back, and not the image: update() returned imageDiffers
        // Every block taken, then the device reset, left or went quiet during
        // or after the end of the image, before it said what it made of it:
        // written, not confirmed (whether or not verification was asked).
        Unconfirmed
    };
    // With verification on, a download the device has made its firmware is
    // read back (when the device announces it can upload and stays in its
    // bootloader) and compared with the image file.
    void setVerify(bool verify) { m_verify = verify; }
    Verification verification() const { return m_verification; }
    QString verificationText() const { return m_verificationText; }
    static const int imageDiffers = -13;
    // The update's outcome of update()'s `result` (with the verification
    // and its text, the first thing the engine said, and whether
    // confirmation was asked).
    static UpdateOutcome outcomeOf(int result, Verification verification, const QString &verificationText,
                                   const QString &said, bool verify);

    // How long a device that answers every status request may stay busy
    // with one block, or with making the image its firmware: each request
    // has the request time limit, and being busy is not being silent
    // (erasing a large sector takes seconds).
    void setBusyLimit(qint64 ms) { m_busyLimit = ms; }

    // Reading instead of writing: a device in its bootloader is read with
    // DFU_UPLOAD into `firmware`, block after block of its transfer size,
    // until it ends the image with a shorter block (a device in its
    // application is told to detach, as for a write). Null: write.
    void setReadInto(QByteArray *firmware) { m_readInto = firmware; }
    // A device that sends more than this without ending its image is not
    // read (readTooLong): no firmware is that large, and a file cut off
    // there would be no image.
    void setReadLimit(qint64 bytes) { m_readLimit = bytes; }
    static const qint64 defaultReadLimit = 64 * 1024 * 1024;
    // The device's DFU descriptor offers no upload: it cannot be read.
    // (Beyond libusb's codes and the system's error numbers.)
    static const int unreadable = -200;
    static const int readTooLong = -201;

    // Backing up before writing: before the first block goes out, the
    // device's firmware is read (as setReadInto reads it) and kept in the
    // backup store at `folder`. A device that cannot be read, or a backup
    // that cannot be kept, is not written at all. Empty: no backup.
    struct Backup
    {
        QString sha256;
        qint64 size = 0;
    };
    void setBackupFolder(const QString &folder) { m_backupFolder = folder; }
    Backup backup() const { return m_backup; }
    // Called on the run's thread once the backup is kept, before the first
    // block is written (a process that dies during the write still leaves
    // it named).
    void setBackupReport(const std::function<void(const Backup &)> &report) { m_backupReport = report; }
    static const int backupNotKept = -202;

    // An image read earlier (at the start of a two-phase update, or once
    // for several devices): downloaded instead of reading the file.
    void setImage(const FirmwareImage &image) { m_image = image; }
    // The image bytes the device took, block by block, in the last download.
    long bytesTaken() const { return m_taken; }

    // 0 or more is success, negative is failure. The image is read once,
    // when the download begins (unless set), and those bytes are sent and
    // read back.
    int update(libusb_device *device, const QString &imagePath);
    int download(const QString &imagePath, const DfuInterface &dfu, int transferSize);

    // What a user who may not open a USB device is told, and how to mend it.
    static QString noAccessText();

private:
    int runOnClaimedInterface(const DfuInterface &dfu, int transferSize, const QString &imagePath);
    void reportState(const DfuStatus &status);
    // Polls the device's status after a block until it has taken it; the
    // last status request's result (negative on failure or time-out;
    // unexpectedState for a state that no download leads to).
    int awaitBlockTaken(const DfuInterface &dfu, DfuStatus *status, bool *stopped);
    // After the zero-length block that ends the image: polls until the
    // device has made the image its firmware. 0 when it has, negative
    // (with the reason said) when it has not or cannot be known to have.
    int awaitManifestation(const DfuInterface &dfu);
    // Between two status requests: leaves the device alone as long as it
    // asked (10 ms when it asked for nothing). False when that would pass
    // the busy limit, or when the run was told to stop (*stopped is set; a
    // null `stopped` ignores the stop).
    bool pauseBeforeNextPoll(const QElapsedTimer &waited, quint32 pollTimeout, bool *stopped);
    // Reads the image back and compares it (see setVerify): 0 when it is
    // the image or cannot be read back, imageDiffers or interrupted.
    int verifyImage(const DfuInterface &dfu, int transferSize);
    // Reads the device's image with DFU_UPLOAD into `firmware`: 0, or
    // negative with the reason said.
    int upload(const DfuInterface &dfu, int transferSize, QByteArray *firmware);
    // Says why an upload failed, and, for a backup, that nothing was written.
    void sayUploadFailed(const QString &text);
    static QString nothingWrittenText();
    // Reads the device's image and keeps it in the backup store: 0, or
    // negative with the reason said (nothing is to be written then).
    int backUp(const DfuInterface &dfu, int transferSize);
    // Written, and the device stopped answering (`usbError`) before it said
    // what it made of the image.
    void restartedUnconfirmed(int usbError);
    // Ends a download that is not to be completed: the device drops what it
    // has and waits in its bootloader (`inError`: it said dfuERROR).
    void leaveDownload(const DfuInterface &dfu, bool inError);
    // Says why a status request after block `block` of `blocks` failed.
    void reportStatusFailure(int polled, const DfuStatus &status, int block, int blocks);
    static const int unexpectedState = -12;

    Emitter *m_emitter;
    Detach m_detach;
    std::function<void(const Detach &)> m_detachReport;
    const std::atomic<bool> *m_stop = nullptr;
    bool m_detachAllowed = true;
    // bmAttributes of the device's DFU functional descriptor.
    quint8 m_attributes = 0;
    // The device said dfuIDLE after the end of the image (it can be read
    // back), rather than restarting or going quiet.
    bool m_idleAfterManifestation = false;
    bool m_verify = false;
    qint64 m_busyLimit = 60000;         // ms
    Verification m_verification = NotAsked;
    FirmwareImage m_image;
    // What the download sent.
    FirmwareImage m_sent;
    long m_taken = 0;
    QString m_verificationText;
    QByteArray *m_readInto = nullptr;
    qint64 m_readLimit = defaultReadLimit;
    QString m_backupFolder;
    Backup m_backup;
    bool m_backingUp = false;
    std::function<void(const Backup &)> m_backupReport;
};

#endif // DFUENGINE_H
