#ifndef UPDATEOUTCOME_H
#define UPDATEOUTCOME_H

#include "updatehistory.h"

#include <QString>

class UploadTask;

// What came of one update, on any road: a kind and the reason a user is
// told. Made in one place from what a road returns (a DFU run, a network
// upload with its check), so that the window and vornic-cli each only map
// it (to texts; to exit codes and JSON) and no front end decodes a road's
// numbers.
class UpdateOutcome
{
public:
    // The history's outcomes, so that a row names what the window and
    // vornic-cli said.
    enum Kind {
        // written and confirmed: read back equal, or checked by the device
        Verified = UpdateHistory::Verified,
        // written; no confirmation asked (the reason may say it came without one)
        Updated = UpdateHistory::Updated,
        // written, and confirmation was asked but cannot be had (the reason says why)
        NotVerifiable = UpdateHistory::NotVerifiable,
        // written, and read back different
        Differs = UpdateHistory::Differs,
        // not there, not answering, left the bus, or not to be told apart
        NoDevice = UpdateHistory::NoDevice,
        // no permission, or another program holds it
        NoAccess = UpdateHistory::NoAccess,
        // the image cannot be read or does not fit
        ImageRefused = UpdateHistory::ImageRefused,
        // the device answered, and refused
        DeviceRefused = UpdateHistory::DeviceRefused,
        // no answer in time
        Timeout = UpdateHistory::Timeout,
        // the connection went during the upload
        LinkLost = UpdateHistory::LinkLost,
        // told to stop
        Stopped = UpdateHistory::Stopped,
        // anything else
        Failed = UpdateHistory::Failed
    };

    explicit UpdateOutcome(Kind kind = Failed, const QString &reason = QString());

    // A USB run: DfuEngine::update's result, the engine's verification and
    // its text, the first thing the engine said (empty: none), and whether
    // confirmation was asked.
    static UpdateOutcome fromDfu(int result, int verification, const QString &verificationText, const QString &said,
                                 bool verify);
    // A network upload: its result (taskFinished), the task, the device's
    // place for messages, and whether confirmation was asked.
    static UpdateOutcome fromUpload(int result, const UploadTask &task, const QString &where, bool verify);

    Kind kind() const { return m_kind; }
    QString reason() const { return m_reason; }
    // The outcome's name in the update history ("verified", "no device", ...).
    QString name() const;
    // The device holds the image (verified, or not).
    bool wroteImage() const { return m_kind == Verified || m_kind == Updated || m_kind == NotVerifiable; }

private:
    Kind m_kind;
    QString m_reason;
};

#endif // UPDATEOUTCOME_H
