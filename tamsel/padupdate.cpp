#include "padupdate.h"

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
    }
    m_record.begin(PadTransfer::historyEntry(job.road, job.slaveAddress, job.imagePath));
}

int PadUpdate::run(const Job &job, const std::atomic<sub_handle> &handle, const std::atomic<bool> &stop,
                   const FirmwareImage &image, const std::function<void()> &readingBack)
{
    PadTransfer transfer(m_emitter, handle, stop);
    // Read once: the records and their read-back are these bytes.
    const FirmwareImage bytes = image.isRead() ? image : transfer.readImage(job.imagePath);
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
    m_record.end(outcome, message);
}
