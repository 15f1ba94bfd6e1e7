#ifndef TWOPHASEUPDATE_H
#define TWOPHASEUPDATE_H

#include "firmwareimage.h"
#include "updaterecord.h"
#include "network/networkdevice.h"
#include "updateoutcome.h"
#include "usb/awaiteddevice.h"
#include "usb/dfuengine.h"
#include "usb/usbdevicelist.h"

#include <QDeadlineTimer>
#include <QFuture>
#include <QFutureWatcher>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <atomic>
#include <memory>
#include <mutex>

class Emitter;

// The one owner of an update in progress, on any road: its phase, the image
// read once at its start, the verify choice, the device it works on, the
// device it awaits back in its bootloader and how long it waits, and the
// stop request. It alone decides whether an arriving device is the awaited
// one. The window feeds it hot-plug listings, vornic-cli its own polling;
// neither keeps a phase of its own. No widgets.
//
// It runs the window's USB job on Qt's global thread pool and keeps its
// future; the job's end is taken here, and says either returnAwaited() or
// finished(outcome). vornic-cli runs the same job on its own thread.
//
// Apart from runUsb(), which the USB job runs on a worker thread, every
// member is for the thread that owns the object.
class TwoPhaseUpdate : public QObject
{
    Q_OBJECT
public:
    enum Phase {
        Idle,
        // The first device is written (or, on the USB road, told to detach),
        // or a network upload runs.
        Writing,
        // A device was told to restart into its bootloader; nothing runs.
        AwaitingReturn,
        // The device that came back is written.
        WritingReturned
    };

    // The reconnection state: the owner's alone, published by
    // reconnectionChanged() whenever it changes (the window shows it in
    // its members of the same names). A device a USB job detaches is
    // published as soon as the job has told it, on the owner's thread.
    struct Reconnection
    {
        bool detachIssued = false;
        int detachedBusNumber = -1;
        int detachedPortNumber = -1;
        int reconnectMode = AwaitedDevice::Nothing;
        QString pendingSerialNumber;
    };

    explicit TwoPhaseUpdate(Emitter *emitter, QObject *parent = nullptr);
    Reconnection reconnection() const;

    // A new update of `image` (read once; every phase writes these bytes).
    // Nothing told to restart earlier is awaited by it.
    void begin(const FirmwareImage &image, bool verify);
    Phase phase() const { return m_phase; }
    // From begin()'s first step to the update's end: a USB job runs, or a
    // device sent into its bootloader is awaited.
    bool inProgress() const { return m_phase != Idle || usbJobRunning(); }
    bool awaitingReturn() const { return m_phase == AwaitingReturn; }
    // Awaiting, or about to: the running USB job has detached its device.
    bool returnPending() const;
    const FirmwareImage &image() const { return m_image; }
    // A read instead of a write (after begin()): the USB job reads the
    // device's firmware into `firmware`, which the caller keeps until the
    // job has ended. Null: write.
    void setReadInto(QByteArray *firmware) { m_readInto = firmware; }
    bool verify() const { return m_verify; }
    // Back up before writing (after begin()): the device's firmware is read
    // and kept in the backup store before its first block is written, in
    // the same session; without a backup nothing is written. backedUp()
    // says what was kept, and the update's row names it.
    void setBackup(bool backup) { m_backup = backup; }
    // A restore (after begin()): its row names the row whose backup it writes.
    void setRestoredRow(qint64 row) { m_restoredRow = row; }
    bool backup() const { return m_backup; }
    // The backup kept by this update's last USB run; empty when none was.
    DfuEngine::Backup keptBackup() const;

    // The USB road: the device at `portPath` is about to be written by
    // runUsb(). A device it detaches must come back there; in the first
    // phase the devices on the bus now are not its return.
    void startUsb(const QString &portPath);
    QString portPath() const { return m_awaited.portPath; }
    // The USB job: one DFU run on `device`, on whatever thread. A device in
    // its application is told to detach (first phase only). 0 or more is
    // success, as DfuEngine::update returns.
    int runUsb(libusb_device *device);
    // The USB job's end, with its result: the update awaits the detached
    // device's return (the deadline starts), or is over.
    void usbEnded(int result);
    // runUsb(device) on Qt's global thread pool (after startUsb), followed
    // to its end; one job at a time.
    QFuture<int> startUsbJob(libusb_device *device);
    // Follows a USB job started elsewhere, as startUsbJob() does its own.
    QFuture<int> followUsbJob(const QFuture<int> &job);
    QFuture<int> usbJob() const { return m_job; }
    bool usbJobRunning() const { return m_job.isRunning(); }
    // The running USB job is the update's last step: a device it detaches
    // is not awaited (the program is closing). The job itself goes on.
    void endWithUsbJob() { m_mayAwait = false; }
    // Waits for the running USB job and takes its end at once (the program
    // is ending): its outcome, or NotStarted when none ran.
    UpdateOutcome waitForUsbJob();
    // What a USB job did about detaching its device, from whatever thread:
    // taken on the owner's thread (published), or at the job's end.
    void reportDetach(const DfuEngine::Detach &detach);
    // One download on an interface already claimed, with this update's
    // image path, emitter and reconnection state.
    int download(const QString &path, const DfuInterface &dfu, int transferSize);
    // What the last USB run came to; `said` is the first thing the engine
    // told the emitter, if anything.
    UpdateOutcome usbOutcome(int result, const QString &said = QString()) const;
    long bytesTaken() const { return m_bytesTaken; }

    // The serial road, called before the device is told "boot": the devices
    // on the bus now are not its return.
    void prepareSerialReturn();
    // The device with `serialNumber` was told to restart (`sent`), or was
    // told nothing and the update is over.
    void serialBootSent(const QString &serialNumber, bool sent);

    // The network road: an upload to `device` runs until networkEnded().
    void startNetwork(NetworkDevice *device);
    void networkEnded();
    NetworkDevice *networkDevice() const { return m_networkDevice; }

    // What one look at the bus while the device is awaited decides, for the
    // window and vornic-cli alike.
    struct Arrival
    {
        enum Action {
            Wait,           // not among the entries (or nothing is awaited)
            Write,          // `index` is the awaited device: write it next (startUsb, runUsb)
            Abandoned       // it cannot be written (`outcome` says why); nothing is awaited any more
        };
        Action action = Wait;
        int index = -1;
        UpdateOutcome outcome;
    };
    Arrival arrived(const QVector<UsbDeviceEntry> &entries);
    // The awaited device is back and is written next (startUsb, runUsb):
    // nothing is awaited any more, and it is not sent away a second time.
    void returned();
    // The awaited device as the shared matching rule takes it.
    AwaitedDevice awaited() const;

    // How long a device sent into its bootloader may take to come back.
    void setReturnTimeout(int ms);
    int returnTimeout() const { return m_returnTimer.interval(); }
    bool returnDeadlineRunning() const { return m_returnTimer.isActive(); }
    bool returnDeadlinePassed() const { return m_awaitingSince.hasExpired(); }

    // Ends an update whose device cannot be written (it did not come back,
    // or cannot be told apart): nothing is awaited any more, and a new
    // attempt detaches anew.
    void abandon();
    // The program is to end: a USB run stops after its block, nothing more
    // is awaited.
    void stop();
    // With a flag of the caller's (vornic-cli's signal flag), runUsb stops
    // on that one instead.
    void setStopFlag(const std::atomic<bool> *stop) { m_stopFlag = stop; }

    // The update's row in the history (the window keeps one; vornic-cli
    // writes its own): added with what is known of the device when the
    // update starts, completed once with its outcome.
    void recordStart(const QString &road, const QString &model, const QString &serialNumber, const QString &place);
    // The program the rows are written under: "vornic" unless set.
    void setRecordProgram(const QString &program) { m_recordProgram = program; }
    void recordEnd(const UpdateOutcome &outcome, const QString &message);
    // The update's row is begun and not yet ended.
    bool recordOpen() const { return m_record && m_record->isOpen(); }
    // Why the history could not be written, once (and again when it fails
    // anew after it has worked); empty otherwise.
    QString takeHistoryProblem();

signals:
    // The awaited device did not come back in time; abandon() follows from
    // the receiver, which says so.
    void returnTimedOut();
    void reconnectionChanged();
    // The USB job has ended and nothing is awaited: the update's outcome.
    void finished(const UpdateOutcome &outcome);
    // The device's firmware was kept in the backup store, and writing
    // begins (on the owner's thread).
    void backedUp(const QString &sha256, qint64 size);
    // The USB job has ended and told its device to restart into its
    // bootloader: the device is awaited now (the deadline runs).
    void returnAwaited();

private:
    DfuEngine engine() const;
    // The entry of the awaited device among `entries`: -1 when none is; -2
    // when several qualify (*why says so).
    int find(const QVector<UsbDeviceEntry> &entries, QString *why) const;
    void awaitReturn();
    void endAwaiting();
    // Takes what the USB job reported of a detach, once (from the job's
    // report, or at its end, whichever comes first).
    void takeDetach();
    // A backup kept by the USB job, from whatever thread: noted in the row
    // and said on the owner's thread.
    void reportBackup(const DfuEngine::Backup &backup);
    void takeBackup();
    void publish();
    // The followed job's end, taken once (from its watcher, or from
    // waitForUsbJob()).
    UpdateOutcome takeUsbJobEnd();

    // On the owner's thread, but for detachIssued, which the job reads.
    Reconnection m_reconnection;
    std::atomic<bool> m_detachIssued { false };
    Emitter *m_emitter;
    Phase m_phase = Idle;
    FirmwareImage m_image;
    bool m_verify = false;
    // Only the first phase may send its device into the bootloader.
    bool m_mayDetach = true;
    bool m_mayAwait = true;
    QFuture<int> m_job;
    QFutureWatcher<int> m_jobWatcher;
    bool m_jobPending = false;
    // Where the device sits and what was on the bus before it restarted;
    // its mode and serial number are the storage's (awaited()).
    AwaitedDevice m_awaited;
    QPointer<NetworkDevice> m_networkDevice;
    QTimer m_returnTimer;
    QDeadlineTimer m_awaitingSince;
    std::atomic<bool> m_stop { false };
    const std::atomic<bool> *m_stopFlag = &m_stop;
    // Written by the USB job before its result, read after it.
    mutable std::mutex m_resultMutex;
    DfuEngine::Verification m_verification = DfuEngine::NotAsked;
    DfuEngine::Detach m_detach;
    bool m_detachFresh = false;
    QString m_verificationText;
    std::atomic<long> m_bytesTaken { 0 };
    std::unique_ptr<UpdateRecord> m_record;
    QString m_recordProgram = QStringLiteral("vornic");
    QByteArray *m_readInto = nullptr;
    bool m_backup = false;
    qint64 m_restoredRow = 0;
    DfuEngine::Backup m_kept;           // under m_resultMutex
    bool m_keptFresh = false;
};

#endif // TWOPHASEUPDATE_H
