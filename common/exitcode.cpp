#include "exitcode.h"

#include "updateoutcome.h"

int exitCodeOf(const UpdateOutcome &outcome, int stoppedCode)
{
    switch (outcome.kind()) {
    case UpdateOutcome::Verified:
    case UpdateOutcome::Updated:
    case UpdateOutcome::Read:
        return ExitSuccess;
    case UpdateOutcome::Unreadable:
        return ExitUnreadable;
    case UpdateOutcome::NotVerifiable:
        return ExitNotVerified;
    case UpdateOutcome::Differs:
        return ExitVerifyFailed;
    case UpdateOutcome::NoDevice:
        return ExitNoSuchDevice;
    case UpdateOutcome::NoAccess:
        return ExitNoAccess;
    case UpdateOutcome::ImageRefused:
        return ExitImageProblem;
    case UpdateOutcome::DeviceRefused:
        return ExitDeviceRefused;
    case UpdateOutcome::Timeout:
        return ExitTimeout;
    case UpdateOutcome::Stopped:
        return stoppedCode;
    case UpdateOutcome::WrongImage:
        return ExitWrongImage;
    case UpdateOutcome::NotStarted:
        return ExitUsage;
    case UpdateOutcome::LinkLost:
    case UpdateOutcome::Failed:
    case UpdateOutcome::Interrupted:
    case UpdateOutcome::Running:
        break;
    }
    return ExitFailure;
}
