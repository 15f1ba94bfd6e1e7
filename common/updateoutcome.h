#ifndef UPDATEOUTCOME_H
#define UPDATEOUTCOME_H

#include <QString>

// What came of one update, on any road of either program: a kind and the
// reason a user is told. Each road turns its own result into one of these
// once, where the road ends; each front end maps it once (the window's
// texts; the exit code, see exitcode.h), and the update history stores its
// name(). No front end decodes a road's numbers.
class UpdateOutcome
{
public:
    enum Kind {
        // written and confirmed: read back equal, or checked by the device
        Verified,
        // written; no confirmation asked (the reason may say it came without one)
        Updated,
        // written, and confirmation was asked but cannot be had (the reason says why)
        NotVerifiable,
        // written, and read back different
        Differs,
        // not there, not answering, left the bus, or not to be told apart
        NoDevice,
        // no permission, or another program holds it
        NoAccess,
        // the image cannot be read or does not fit
        ImageRefused,
        // the device answered, and refused
        DeviceRefused,
        // no answer in time
        Timeout,
        // the connection went during the upload
        LinkLost,
        // told to stop
        Stopped,
        // anything else
        Failed,
        // not the image named by its SHA-256; nothing was sent
        WrongImage,
        // the command line itself was wrong; nothing was begun
        NotStarted,
        // what a history row begun and never ended says: its process died
        Interrupted,
        // how such a row reads while its process still runs
        Running,
        // a device's firmware read whole (nothing was written)
        Read,
        // the device cannot be read: it offers no upload, or sends no end
        Unreadable
    };

    explicit UpdateOutcome(Kind kind = Failed, const QString &reason = QString());

    Kind kind() const { return m_kind; }
    QString reason() const { return m_reason; }
    // Its name in the update history and in the command lines' JSON
    // ("verified", "no device", ...): one name, wherever it is read.
    QString name() const { return nameOf(m_kind); }
    static QString nameOf(Kind kind);
    // One of the names above.
    static bool isName(const QString &name);
    // Written and confirmed.
    bool verified() const { return m_kind == Verified; }
    // The device holds the image (verified, or not).
    bool wroteImage() const { return m_kind == Verified || m_kind == Updated || m_kind == NotVerifiable; }
    // What was asked was done: the image written, or the device read.
    bool succeeded() const { return wroteImage() || m_kind == Read; }
    // Written: verified when confirmation was asked, else updated.
    static UpdateOutcome written(bool verify) { return UpdateOutcome(verify ? Verified : Updated); }

private:
    Kind m_kind;
    QString m_reason;
};

#endif // UPDATEOUTCOME_H
