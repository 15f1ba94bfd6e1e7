#include "updateoutcome.h"

#include "network/uploadtask.h"
#include "usb/dfuengine.h"

#include <libusb.h>

UpdateOutcome::UpdateOutcome(Kind kind, const QString &reason)
    : m_kind(kind)
    , m_reason(reason)
{
}

QString UpdateOutcome::name() const
{
    return UpdateHistory::outcomeName(UpdateHistory::Outcome(m_kind));
}

UpdateOutcome UpdateOutcome::fromDfu(int result, int verification, const QString &verificationText,
                                     const QString &said, bool verify)
{
    if (result >= 0) {
        switch (verification) {
        case DfuEngine::Verified:
            return UpdateOutcome(Verified);
        case DfuEngine::NotVerifiable:
            return UpdateOutcome(verify ? NotVerifiable : Updated, verificationText);
        case DfuEngine::Unconfirmed:
            // Written, and the device did not say what it made of it.
            return UpdateOutcome(verify ? NotVerifiable : Updated, verificationText);
        default:
            return UpdateOutcome(Updated);
        }
    }
    const QString why = said.isEmpty() ? QString::fromLatin1(libusb_strerror(result)) : said;
    switch (result) {
    case DfuEngine::interrupted:
        return UpdateOutcome(Stopped, why);
    case DfuEngine::notInBootloader:
        return UpdateOutcome(DeviceRefused, why);
    case DfuEngine::imageDiffers:
        return UpdateOutcome(Differs, why);
    case LIBUSB_ERROR_ACCESS:
        return UpdateOutcome(NoAccess, why);
    case LIBUSB_ERROR_BUSY:
        return UpdateOutcome(NoAccess, why + QLatin1String(" Another program holds the device."));
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND:
        return UpdateOutcome(NoDevice, why);
    case LIBUSB_ERROR_TIMEOUT:
        return UpdateOutcome(Timeout, why);
    default:
        return UpdateOutcome(DeviceRefused, why);
    }
}

UpdateOutcome UpdateOutcome::fromUpload(int result, const UploadTask &task, const QString &where, bool verify)
{
    switch (result) {
    case 0:
        // The device's check of an 'I' image is its verification.
        return UpdateOutcome(verify ? Verified : Updated);
    case 11:
        return UpdateOutcome(verify ? NotVerifiable : Updated, verify ? UploadTask::uncheckedText() : QString());
    case UploadTask::notChecked:
        // An 'I' image's check is part of its update, asked or not.
        return UpdateOutcome(NotVerifiable, task.problemText(where));
    case 2:
        return UpdateOutcome(NoDevice, task.problemText(where));
    case 7:
        return UpdateOutcome(ImageRefused, task.problemText(where));
    case 8:
        return UpdateOutcome(DeviceRefused, task.problemText(where));
    case 9:
        return UpdateOutcome(Timeout, task.problemText(where));
    case UploadTask::linkLost:
        return UpdateOutcome(LinkLost, task.problemText(where));
    default:
        return UpdateOutcome(Failed, QStringLiteral("The upload ended without a result."));
    }
}
