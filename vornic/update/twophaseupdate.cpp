#include "twophaseupdate.h"

#include "backupstore.h"

#include <QThread>
#include <QThreadPool>
#include <QtConcurrent>

namespace {

// How long a device sent into its bootloader may take to come back.
const int defaultReturnTimeout = 60000;    // ms

} // namespace

TwoPhaseUpdate::TwoPhaseUpdate(Emitter *emitter, QObject *parent)
    : QObject(parent)
    , m_emitter(emitter)
{
    m_returnTimer.setSingleShot(true);
    // Never before the deadline that vornic-cli's polling reads.
    m_returnTimer.setTimerType(Qt::PreciseTimer);
    m_returnTimer.setInterval(defaultReturnTimeout);
    connect(&m_returnTimer, &QTimer::timeout, this, [this] {
        if (m_phase == AwaitingReturn)
            emit returnTimedOut();
    });
    connect(&m_jobWatcher, &QFutureWatcherBase::finished, this, [this] {
        const UpdateOutcome outcome = takeUsbJobEnd();
        if (outcome.kind() == UpdateOutcome::NotStarted)
            return;
        if (m_phase == AwaitingReturn)
            emit returnAwaited();
        else
            emit finished(outcome);
    });
}

TwoPhaseUpdate::Reconnection TwoPhaseUpdate::reconnection() const
{
    Reconnection state = m_reconnection;
    state.detachIssued = m_detachIssued;
    return state;
}

void TwoPhaseUpdate::publish()
{
    emit reconnectionChanged();
}

void TwoPhaseUpdate::begin(const FirmwareImage &image, bool verify)
{
    endAwaiting();
    m_detachIssued = false;
    m_phase = Idle;
    m_image = image;
    m_verify = verify;
    m_readInto = nullptr;
    m_backup = false;
    m_restoredRow = 0;
    m_mayDetach = true;
    m_mayAwait = true;
    m_awaited = AwaitedDevice();
    m_networkDevice = nullptr;
    m_stop = false;
    const std::lock_guard<std::mutex> lock(m_resultMutex);
    m_verification = DfuEngine::NotAsked;
    m_verificationText.clear();
    m_bytesTaken = 0;
    m_detach = DfuEngine::Detach();
    m_detachFresh = false;
    m_kept = DfuEngine::Backup();
    m_keptFresh = false;
    publish();
}

void TwoPhaseUpdate::startUsb(const QString &portPath)
{
    // A device it detaches must come back on this whole port path, and
    // none of the devices on the bus before the detach is its return.
    m_awaited.portPath = portPath;
    if (m_mayDetach)
        m_awaited.present = UsbDeviceList::devicesOnBus();
    m_phase = m_mayDetach ? Writing : WritingReturned;
    const std::lock_guard<std::mutex> lock(m_resultMutex);
    m_verification = DfuEngine::NotAsked;
    m_verificationText.clear();
}

DfuEngine TwoPhaseUpdate::engine() const
{
    DfuEngine engine(m_emitter);
    engine.setDetachIssued(m_detachIssued);
    return engine;
}

int TwoPhaseUpdate::download(const QString &path, const DfuInterface &dfu, int transferSize)
{
    return engine().download(path, dfu, transferSize);
}

int TwoPhaseUpdate::runUsb(libusb_device *device)
{
    DfuEngine engine = this->engine();
    engine.setDetachAllowed(m_mayDetach);
    engine.setStopFlag(m_stopFlag);
    engine.setVerify(m_verify);
    engine.setImage(m_image);
    engine.setReadInto(m_readInto);
    if (m_backup && !m_readInto) {
        engine.setBackupFolder(BackupStore::defaultFolder());
        engine.setBackupReport([this](const DfuEngine::Backup &backup) { reportBackup(backup); });
    }
    // A detach is told to the owner's thread as soon as the job has sent it:
    // the device may be back before the job ends.
    engine.setDetachReport([this](const DfuEngine::Detach &detach) { reportDetach(detach); });
    const int result = engine.update(device, m_image.path());
    m_bytesTaken = engine.bytesTaken();
    {
        const std::lock_guard<std::mutex> lock(m_resultMutex);
        m_verification = engine.verification();
        m_verificationText = engine.verificationText();
    }
    reportDetach(engine.detach());
    return result;
}

void TwoPhaseUpdate::reportBackup(const DfuEngine::Backup &backup)
{
    {
        const std::lock_guard<std::mutex> lock(m_resultMutex);
        m_kept = backup;
        m_keptFresh = true;
    }
    // The row names the backup before the first block is written: vornic-cli
    // runs the job on this thread, the window on the pool.
    if (QThread::currentThread() == thread())
        takeBackup();
    else
        QMetaObject::invokeMethod(this, &TwoPhaseUpdate::takeBackup, Qt::QueuedConnection);
}

void TwoPhaseUpdate::takeBackup()
{
    DfuEngine::Backup backup;
    {
        const std::lock_guard<std::mutex> lock(m_resultMutex);
        if (!m_keptFresh)
            return;
        m_keptFresh = false;
        backup = m_kept;
    }
    if (m_record)
        m_record->noteBackup(backup.sha256, backup.size);
    emit backedUp(backup.sha256, backup.size);
}

DfuEngine::Backup TwoPhaseUpdate::keptBackup() const
{
    const std::lock_guard<std::mutex> lock(m_resultMutex);
    return m_kept;
}

void TwoPhaseUpdate::reportDetach(const DfuEngine::Detach &detach)
{
    {
        const std::lock_guard<std::mutex> lock(m_resultMutex);
        m_detach = detach;
        m_detachFresh = true;
    }
    QMetaObject::invokeMethod(this, &TwoPhaseUpdate::takeDetach, Qt::QueuedConnection);
}

void TwoPhaseUpdate::takeDetach()
{
    DfuEngine::Detach detach;
    {
        const std::lock_guard<std::mutex> lock(m_resultMutex);
        if (!m_detachFresh)
            return;
        m_detachFresh = false;
        detach = m_detach;
    }
    m_detachIssued = detach.issued;
    if (detach.busNumber >= 0) {
        m_reconnection.detachedBusNumber = detach.busNumber;
        m_reconnection.detachedPortNumber = detach.portNumber;
    }
    if (detach.awaited)
        m_reconnection.reconnectMode = AwaitedDevice::AfterDetach;
    publish();
}

void TwoPhaseUpdate::usbEnded(int result)
{
    // The engine marks a device it told to detach; a run that went well so
    // far then awaits that device back on the port it left. A failed or
    // stopped run awaits nothing.
    takeDetach();
    takeBackup();
    const bool detached = m_reconnection.reconnectMode == AwaitedDevice::AfterDetach;
    if (detached && result >= 0 && !*m_stopFlag && m_mayAwait) {
        awaitReturn();
        return;
    }
    if (detached)
        endAwaiting();
    m_phase = Idle;
    publish();
}

QFuture<int> TwoPhaseUpdate::startUsbJob(libusb_device *device)
{
    return followUsbJob(QtConcurrent::run(QThreadPool::globalInstance(), [this, device] { return runUsb(device); }));
}

QFuture<int> TwoPhaseUpdate::followUsbJob(const QFuture<int> &job)
{
    m_job = job;
    m_jobPending = true;
    m_jobWatcher.setFuture(job);
    return job;
}

UpdateOutcome TwoPhaseUpdate::waitForUsbJob()
{
    m_mayAwait = false;
    m_job.waitForFinished();
    return takeUsbJobEnd();
}

UpdateOutcome TwoPhaseUpdate::takeUsbJobEnd()
{
    if (!m_jobPending)
        return UpdateOutcome(UpdateOutcome::NotStarted);
    m_jobPending = false;
    // A job that never ran (the pool was shut down) has no result.
    const int result = m_job.resultCount() > 0 ? m_job.result() : -1;
    usbEnded(result);
    return usbOutcome(result);
}

bool TwoPhaseUpdate::returnPending() const
{
    return m_phase == AwaitingReturn
        || (m_phase == Writing && m_reconnection.reconnectMode == AwaitedDevice::AfterDetach);
}

UpdateOutcome TwoPhaseUpdate::usbOutcome(int result, const QString &said) const
{
    const std::lock_guard<std::mutex> lock(m_resultMutex);
    // A run that sent its device into the bootloader wrote nothing: unless
    // the device is awaited back, that is the update's end (the program is
    // ending), and no success.
    if (result >= 0 && m_detach.awaited && m_phase != AwaitingReturn)
        return UpdateOutcome(UpdateOutcome::Stopped,
                             QStringLiteral("The device was told to restart into its bootloader; nothing was written."));
    if (m_readInto && result >= 0)
        return UpdateOutcome(UpdateOutcome::Read);
    return DfuEngine::outcomeOf(result, m_verification, m_verificationText, said, m_verify);
}

void TwoPhaseUpdate::prepareSerialReturn()
{
    m_phase = Writing;
    m_awaited.present = UsbDeviceList::devicesOnBus();
}

void TwoPhaseUpdate::serialBootSent(const QString &serialNumber, bool sent)
{
    // The mode says which road the update took, whatever came of it.
    m_reconnection.reconnectMode = AwaitedDevice::AfterSerialBoot;
    // A port that could not be opened told the device nothing: nothing is
    // awaited, and no bootloader that turns up later may be taken for it.
    if (!sent || serialNumber.isEmpty()) {
        m_reconnection.pendingSerialNumber.clear();
        m_phase = Idle;
        publish();
        return;
    }
    m_reconnection.pendingSerialNumber = serialNumber;
    awaitReturn();
}

void TwoPhaseUpdate::startNetwork(NetworkDevice *device)
{
    m_networkDevice = device;
    m_phase = Writing;
}

void TwoPhaseUpdate::networkEnded()
{
    m_networkDevice = nullptr;
    m_phase = Idle;
}

int TwoPhaseUpdate::find(const QVector<UsbDeviceEntry> &entries, QString *why) const
{
    // After a serial reboot the device reports the awaited serial number,
    // after a detach it sits on the detached device's whole port path; in
    // both cases it was not on the bus before the restart request.
    const AwaitedDevice device = awaited();
    int candidates = 0;
    const int found = UsbDeviceList::findReturnedDevice(device, entries, &candidates);
    if (candidates > 1) {
        *why = UsbDeviceList::ambiguousReturnText(device, candidates);
        return -2;
    }
    return found;
}

TwoPhaseUpdate::Arrival TwoPhaseUpdate::arrived(const QVector<UsbDeviceEntry> &entries)
{
    Arrival arrival;
    if (m_phase != AwaitingReturn)
        return arrival;
    QString why;
    const int found = find(entries, &why);
    if (found == -2) {
        // Several could be it: none is written.
        abandon();
        arrival.action = Arrival::Abandoned;
        arrival.outcome = UpdateOutcome(UpdateOutcome::NoDevice, why);
    } else if (found >= 0 && !entries.at(found).accessible) {
        abandon();
        arrival.action = Arrival::Abandoned;
        arrival.outcome = UpdateOutcome(UpdateOutcome::NoAccess, DfuEngine::noAccessText());
    } else if (found >= 0) {
        returned();
        arrival.action = Arrival::Write;
        arrival.index = found;
    }
    return arrival;
}

void TwoPhaseUpdate::returned()
{
    endAwaiting();
    // Only a download ends this update well: a device found still in its
    // application is not sent away a second time.
    m_mayDetach = false;
    m_phase = WritingReturned;
}

AwaitedDevice TwoPhaseUpdate::awaited() const
{
    AwaitedDevice device = m_awaited;
    device.mode = m_reconnection.reconnectMode;
    device.serialNumber = m_reconnection.pendingSerialNumber;
    return device;
}

void TwoPhaseUpdate::recordStart(const QString &road, const QString &model, const QString &serialNumber,
                                 const QString &place)
{
    // The window's own settings name a server, if any.
    if (!m_record)
        m_record = std::make_unique<UpdateRecord>(m_recordProgram,
                                                  UpdateRecord::settingsFile(QStringLiteral("Vornic")));
    UpdateHistory::Entry known;
    known.road = road;
    known.model = model;
    known.serialNumber = serialNumber;
    known.place = place;
    known.imagePath = m_image.path();
    known.imageSize = m_image.size();
    known.imageSha256 = m_image.sha256();
    known.restoredRow = m_restoredRow;
    m_record->begin(known);
}

void TwoPhaseUpdate::recordEnd(const UpdateOutcome &outcome, const QString &message)
{
    if (m_record)
        m_record->end(outcome, message);
}

QString TwoPhaseUpdate::takeHistoryProblem()
{
    return m_record ? UpdateRecord::saying(m_record->problemToSay()) : QString();
}

void TwoPhaseUpdate::setReturnTimeout(int ms)
{
    m_returnTimer.setInterval(ms);
}

void TwoPhaseUpdate::abandon()
{
    // From now on nothing is awaited: a bootloader that turns up later, even
    // on the same port, is not written unasked.
    endAwaiting();
    m_detachIssued = false;
    if (m_phase == AwaitingReturn)
        m_phase = Idle;
    publish();
}

void TwoPhaseUpdate::stop()
{
    m_stop = true;
    // A running job ends by itself (its stop flag); only what is awaited
    // ends here.
    if (m_phase == AwaitingReturn)
        abandon();
    else
        endAwaiting();
}

void TwoPhaseUpdate::awaitReturn()
{
    m_phase = AwaitingReturn;
    m_awaitingSince = QDeadlineTimer(m_returnTimer.interval());
    m_returnTimer.start();
    publish();
}

void TwoPhaseUpdate::endAwaiting()
{
    m_reconnection.reconnectMode = AwaitedDevice::Nothing;
    m_reconnection.pendingSerialNumber.clear();
    m_returnTimer.stop();
    publish();
}
