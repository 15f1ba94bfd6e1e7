#ifndef EXITCODE_H
#define EXITCODE_H

// The exit codes of the command-line tools, one per class of failure, so
// that a script or a production line can tell what went wrong without
// reading the message.
enum ExitCode {
    ExitSuccess = 0,
    ExitFailure = 1,            // anything not named below (a link or adapter error)
    ExitUsage = 2,              // the command line itself is wrong
    ExitNoSuchDevice = 3,       // the device named is not there, or does not answer
    ExitNoAccess = 4,           // the device is there but this user may not open it, or it is busy
    ExitImageProblem = 5,       // the image cannot be read, is empty, or is not for this device
    ExitDeviceRefused = 6,      // the device answered, and said no
    ExitTimeout = 7,            // the device did not answer, or did not come back, in time
    ExitVerifyFailed = 8,       // --verify: the image read back from the device differs
    ExitNotVerified = 9,        // --verify: written, but the device cannot be read back or checked
    ExitWrongImage = 10,        // --sha256: the image is not the one named; nothing was sent
    ExitUnreadable = 11,        // read: the device cannot be read (no upload, no end, not on this road)
    ExitInterrupted = 130       // stopped by Ctrl+C; another signal: 128 + its number (SIGTERM 143)
};

class UpdateOutcome;

// The one mapping of an update's outcome to the command lines' exit code.
// `stoppedCode`: what a stop exits with (128 + the signal that asked it).
int exitCodeOf(const UpdateOutcome &outcome, int stoppedCode = ExitInterrupted);

#endif // EXITCODE_H
