// What an upload's result means: in one sentence naming the device, and as
// the update's outcome.
#include "uploadtask.h"

namespace {

// A device's words as a message may quote them: one line, control bytes
// shown as '?'.
QString printable(const QByteArray &words)
{
    QString text = QString::fromLatin1(words).simplified();
    for (QChar &c : text) {
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() < 0xA0))
            c = QLatin1Char('?');
    }
    return text;
}

} // namespace

QString UploadTask::stepName() const
{
    if (stage == 2)
        return QStringLiteral("the start of the image");
    if (stage == headerStage)
        return QStringLiteral("the image's header");
    if (stage == checkStage)
        return QStringLiteral("its check of the whole image");
    return QStringLiteral("record %1 of %2").arg(ackCount + 1).arg((fileSize + recordBytes - 1) / recordBytes);
}

QString UploadTask::problemText(const QString &where) const
{
    switch (result) {
    case NoConnection:
        return QStringLiteral("The device at %1 did not accept a connection; nothing was written.").arg(where);
    case ImageUnreadable:
        return image.problem().isEmpty()
            ? QStringLiteral("The firmware image %1 could not be read; the device did not take it.").arg(fileName)
            : image.problem();
    case Refused:
        if (!surplus.isEmpty())
            return QStringLiteral("Protocol error: the device at %1 answered more than it was asked (%2), so its "
                                  "answers confirm nothing; the image is not known to be whole.").arg(where, surplus);
        if (!overlong.isEmpty())
            return QStringLiteral("Protocol error: the device at %1 answered %2 with more than %3 bytes in one line, "
                                  "which is no answer; the image is not known to be whole.")
                .arg(where, overlong).arg(maxAnswer);
        if (!notConfirming.isEmpty())
            return negated
                ? QStringLiteral("Protocol error: the device at %1 answered its check of the whole image with "
                                 "\"%2\", which takes its OK back; the image is not confirmed.")
                      .arg(where, printable(notConfirming))
                : QStringLiteral("Protocol error: the device at %1 answered its check of the whole image with "
                                 "\"%2\", which is not understood (no status word); the image is not known to be "
                                 "whole.").arg(where, printable(notConfirming));
        // A refused record and a failed check of the whole image call for
        // different things: another try, or another image.
        return QStringLiteral("Protocol error: the device at %1 refused %2.")
            .arg(where, refused.isEmpty() ? QStringLiteral("the image") : refused);
    case NoReply:
        if (!unrecognised.isEmpty())
            return QStringLiteral("The device at %1 answered %2 with \"%3\", which is not understood (no status "
                                  "word); the image is not known to be whole.")
                .arg(where, unrecognisedStep, printable(unrecognised));
        return QStringLiteral("Communication timeout: the device at %1 stopped answering.").arg(where);
    case LinkLost:
        if (checkAsked)
            return QStringLiteral("The connection to the device at %1 was lost before it answered its check of the "
                                  "whole image; the image was sent, and is not known to be whole.").arg(where);
        return QStringLiteral("The connection to the device at %1 was lost during the upload; the device did not "
                              "take the whole image.").arg(where);
    case NotChecked:
        return QStringLiteral("The device at %1 took every record and the header, but its check of the whole image "
                              "could not be asked (%2); the image was sent, not checked.")
            .arg(where, checkUnasked);
    default:
        return QString();
    }
}

UpdateOutcome UploadTask::outcome(int result, const QString &where, bool verify) const
{
    switch (result) {
    case Checked:
        return UpdateOutcome::written(verify);
    case RecordsTaken:
        return verify ? UpdateOutcome(UpdateOutcome::NotVerifiable, uncheckedText()) : UpdateOutcome(UpdateOutcome::Updated);
    case NotChecked:
        // An 'I' image's check is part of its update, asked or not.
        return UpdateOutcome(UpdateOutcome::NotVerifiable, problemText(where));
    case NoConnection:
        return UpdateOutcome(UpdateOutcome::NoDevice, problemText(where));
    case ImageUnreadable:
        return UpdateOutcome(UpdateOutcome::ImageRefused, problemText(where));
    case Refused:
        return UpdateOutcome(UpdateOutcome::DeviceRefused, problemText(where));
    case NoReply:
        return UpdateOutcome(UpdateOutcome::Timeout, problemText(where));
    case LinkLost:
        return UpdateOutcome(UpdateOutcome::LinkLost, problemText(where));
    default:
        return UpdateOutcome(UpdateOutcome::Failed, QStringLiteral("The upload ended without a result."));
    }
}

QString UploadTask::uncheckedText()
{
    return QStringLiteral("a 'W' image has no check that would confirm it");
}
