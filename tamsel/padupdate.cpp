#include "padupdate.h"

#include "backupstore.h"

PadUpdate::PadUpdate(const QString &program, const QString &settingsFile, Emitter *emitter)
    : m_emitter(emitter)
    , m_record(program, settingsFile)
{
}

void PadUpdate::begin(const Job &job)
{
    {
        const std::lock_guard<std::mutex> lock(m_resultMutex);
        m_image = FirmwareImage();
        m_verification = PadTransfer::NotAsked;
        m_outcome = UpdateOutcome();
        m_backupSha256.clear();
        m_backupSize = 0;
    }
    UpdateHistory::Entry known = PadTransfer::historyEntry(job.road, job.slaveAddress, job.imagePath);
    known.restoredRow = job.restoredRow;
    m_record.begin(known);
}

int PadUpdate::backUp(PadTransfer &transfer, const Job &job)
{
    const QString nothingWritten = QStringLiteral("Without a backup of what the pad holds, nothing was written.");
    UpdateOutcome refusal;
    int result = -1;
    if (job.road != PadTransfer::ModbusRoad || job.slaveAddress == 0) {
        refusal = UpdateOutcome(UpdateOutcome::Unreadable,
                                QStringLiteral("The pad cannot be read %1, so it cannot be backed up. %2")
                                    .arg(job.road == PadTransfer::ModbusRoad ? QStringLiteral("by a broadcast")
                                                                             : QStringLiteral("by infrared"),
                                         nothingWritten));
        transfer.sayError(refusal.reason());
    } else {
        QByteArray previous;
        transfer.setReadConsequence(nothingWritten);
        result = transfer.modbusRead(job.slaveAddress, &previous);
        transfer.setReadConsequence(QString());
        if (result == 0) {
            BackupStore store;
            const QString sha256 = store.store(previous);
            if (!sha256.isEmpty()) {
                {
                    const std::lock_guard<std::mutex> lock(m_resultMutex);
                    m_backupSha256 = sha256;
                    m_backupSize = previous.size();
                }
                if (m_backedUp)
                    m_backedUp();
                return 0;
            }
            refusal = UpdateOutcome(UpdateOutcome::Failed, store.problem() + QLatin1Char(' ') + nothingWritten);
            transfer.sayError(refusal.reason());
        } else {
            // (Said by the read, with what it means.)
            refusal = transfer.readOutcome(result);
        }
    }
    const std::lock_guard<std::mutex> lock(m_resultMutex);
    m_outcome = refusal;
    return result == 0 ? -1 : result;
}

void PadUpdate::noteBackup()
{
    // (The row is the owner's: its thread writes it, not the run's.)
    const std::lock_guard<std::mutex> lock(m_resultMutex);
    if (!m_backupSha256.isEmpty())
        m_record.noteBackup(m_backupSha256, m_backupSize);
}

QString PadUpdate::backupSha256() const
{
    const std::lock_guard<std::mutex> lock(m_resultMutex);
    return m_backupSha256;
}

int PadUpdate::run(const Job &job, const std::atomic<sub_handle> &handle, const std::atomic<bool> &stop,
                   const FirmwareImage &image, const std::function<void()> &readingBack)
{
    PadTransfer transfer(m_emitter, handle, stop);
    // Read once: the records and their read-back are these bytes.
    const FirmwareImage bytes = image.isRead() ? image : transfer.readImage(job.imagePath);
    if (job.backup && bytes.isRead()) {
        const int kept = backUp(transfer, job);
        if (kept != 0) {
            const std::lock_guard<std::mutex> lock(m_resultMutex);
            m_image = bytes;
            return kept;
        }
    }
    PadTransfer::Verification verification = PadTransfer::NotAsked;
    const int result = transfer.update(bytes, job.road, job.slaveAddress, job.verify, &verification, readingBack);
    const UpdateOutcome outcome = transfer.outcome(result, verification, job.road, job.slaveAddress);
    const std::lock_guard<std::mutex> lock(m_resultMutex);
    m_image = bytes;
    m_verification = verification;
    m_outcome = outcome;
    return result;
}

UpdateOutcome PadUpdate::outcome() const
{
    const std::lock_guard<std::mutex> lock(m_resultMutex);
    return m_outcome;
}

PadTransfer::Verification PadUpdate::verification() const
{
    const std::lock_guard<std::mutex> lock(m_resultMutex);
    return m_verification;
}

void PadUpdate::end(const QString &message)
{
    end(outcome(), message);
}

void PadUpdate::end(const UpdateOutcome &outcome, const QString &message)
{
    {
        const std::lock_guard<std::mutex> lock(m_resultMutex);
        if (m_image.isRead())
            m_record.noteImage(m_image);
    }
    noteBackup();
    m_record.end(outcome, message);
}
