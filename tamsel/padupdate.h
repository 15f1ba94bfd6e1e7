#ifndef PADUPDATE_H
#define PADUPDATE_H

#include "firmwareimage.h"
#include "padtransfer.h"
#include "updateoutcome.h"
#include "updaterecord.h"

#include <atomic>
#include <functional>
#include <mutex>

class Emitter;

// One update of the pad, as the window and tamsel-cli both run it: its
// road, pad and image, the run (the image read once, written, read back
// when asked), what came of it, and its history row from the start to the
// outcome. run() may go on a worker thread; everything else is for the
// thread that owns the update, and reads what the run left only after it.
class PadUpdate
{
public:
    // `program` and `settingsFile` as UpdateRecord takes them.
    PadUpdate(const QString &program, const QString &settingsFile, Emitter *emitter);

    // What an update writes, where, and whether it is read back.
    struct Job
    {
        PadTransfer::Road road = PadTransfer::ModbusRoad;
        int slaveAddress = 0;
        QString imagePath;
        bool verify = false;
        // Before the first record, the pad's records are read (as
        // PadTransfer::modbusRead reads them) and kept in the backup store;
        // without a backup nothing is written. Modbus to one address only.
        bool backup = false;
        // A restore: the history row whose backup `imagePath` holds.
        qint64 restoredRow = 0;
    };

    // A new update: its history row is begun.
    void begin(const Job &job);
    // The run, on whatever thread, through the adapter at `handle` and
    // stopped by `stop`: `image` when it was read already, else the image
    // file read here once. Returns the transfer's result (0: written).
    int run(const Job &job, const std::atomic<sub_handle> &handle, const std::atomic<bool> &stop,
            const FirmwareImage &image = {}, const std::function<void()> &readingBack = {});

    // What the last run came to.
    UpdateOutcome outcome() const;
    PadTransfer::Verification verification() const;
    // Ends the row with the run's outcome (or `outcome`, for an update that
    // ended before its run); `message` is the last thing the user was told.
    void end(const QString &message);
    void end(const UpdateOutcome &outcome, const QString &message);
    UpdateRecord &record() { return m_record; }
    // The backup the last run kept (empty when none).
    QString backupSha256() const;
    // Names that backup in the row (end() does too), on the owner's thread.
    void noteBackup();
    // Called on the run's thread as soon as the backup is kept, so that the
    // owner names it in the row then (a process killed while it writes
    // still leaves a row that says where the pad's old image is).
    void setBackedUp(const std::function<void()> &backedUp) { m_backedUp = backedUp; }

private:
    // The pad's records into the backup store: 0, or the read's result
    // (m_outcome then says why nothing was written).
    int backUp(PadTransfer &transfer, const Job &job);

    Emitter *m_emitter;
    UpdateRecord m_record;
    std::function<void()> m_backedUp;
    // Written by the run, read after it.
    mutable std::mutex m_resultMutex;
    FirmwareImage m_image;
    PadTransfer::Verification m_verification = PadTransfer::NotAsked;
    UpdateOutcome m_outcome;
    QString m_backupSha256;
    qint64 m_backupSize = 0;
};

#endif // PADUPDATE_H
