#ifndef INTERRUPTSIGNAL_H
#define INTERRUPTSIGNAL_H

#include <atomic>

#include <sys/types.h>

// Ctrl+C (SIGINT), SIGTERM and SIGHUP (the terminal went away) for the
// programs: the first one only raises a flag that the transfer looks at
// between blocks, so that it stops cleanly; a second Ctrl+C ends the
// program at once, as usual. A second SIGTERM or SIGHUP changes nothing:
// the program is already stopping as asked.
class InterruptSignal
{
public:
    static void install();
    // A closed standard output or error stream never ends the program
    // (no SIGPIPE), nor a file past the size limit (no SIGXFSZ): called
    // first thing by the command lines, whose output may go into a pipe
    // whose reader leaves early.
    static void ignoreOutputFailures();
    // Raised by the first signal; the transfers read it.
    static std::atomic<bool> &flag();
    static bool requested() { return flag().load(); }
    // What a program stopped so exits with, as a shell reports a signal:
    // 130 after Ctrl+C (SIGINT), 143 after SIGTERM, 129 after SIGHUP.
    static int exitCode();
    // For a child process, between fork and exec: it gets SIGTERM (and so
    // stops cleanly) when `parent`, the process that started it, dies.
    // Until the child has called install(), the three signals wait: one
    // sent while it is still starting stops it cleanly once it can.
    static void endWithParent(pid_t parent);
};

#endif // INTERRUPTSIGNAL_H
