#ifndef INTERRUPTSIGNAL_H
#define INTERRUPTSIGNAL_H

#include <atomic>

// Ctrl+C (SIGINT) and SIGTERM for the command-line tools: the first one
// only raises a flag that the transfer looks at between blocks, so that it
// stops cleanly; a second one ends the program at once, as usual.
class InterruptSignal
{
public:
    static void install();
    // Raised by the first signal; the transfers read it.
    static std::atomic<bool> &flag();
    static bool requested() { return flag().load(); }
    // What a program stopped so exits with, as a shell reports a signal:
    // 130 after Ctrl+C (SIGINT), 143 after SIGTERM.
    static int exitCode();
};

#endif // INTERRUPTSIGNAL_H
