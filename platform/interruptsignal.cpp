#include "interruptsignal.h"

#include "exitcode.h"

#include <csignal>
#include <cstring>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

void stoppingSignals(sigset_t *set)
{
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGHUP);
}

std::atomic<bool> raised { false };
std::atomic<int> caught { 0 };
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");
static_assert(std::atomic<int>::is_always_lock_free, "the number is set from a signal handler");

void onSignal(int number)
{
    // Only async-signal-safe calls here; the three signals are held off
    // while it runs, so it runs for one at a time.
    if (raised.load()) {
        // Already stopping. Only a second Ctrl+C is someone asking to quit
        // at once: `timeout` and service managers send SIGTERM to the
        // process and again to its group, and a second copy of the same
        // request must not cut the clean stop short.
        if (number == SIGINT) {
            signal(SIGINT, SIG_DFL);
            raise(SIGINT);
        }
        return;
    }
    caught = number;
    raised = true;
    static const char note[] = "\nStopping cleanly; press Ctrl+C again to quit at once.\n";
    // (Nobody may be reading any more: then it is dropped, see
    // ignoreOutputFailures().)
    const ssize_t written = write(STDERR_FILENO, note, sizeof note - 1);
    (void)written;
}

} // namespace

void InterruptSignal::install()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    stoppingSignals(&action.sa_mask);
    // The handler stays: it tells a second Ctrl+C from a repeated SIGTERM.
    // (No SA_RESTART: a wait the signal interrupts ends early, and the
    // flag is seen sooner.)
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed terminal or ssh session: nobody is left to watch the
    // update, which stops as cleanly as on SIGTERM.
    sigaction(SIGHUP, &action, nullptr);
    ignoreOutputFailures();
    // A signal held since the child started (see endWithParent) arrives
    // now, and is handled.
    pthread_sigmask(SIG_UNBLOCK, &action.sa_mask, nullptr);
}

void InterruptSignal::ignoreOutputFailures()
{
    // Whoever reads the output may go (`| head -1`, a parent killed): what
    // is written then is dropped (the write fails with EPIPE), and the
    // update goes on to its end, or stops cleanly because that parent went.
    // By default SIGPIPE would end the program mid-transfer, leaving a
    // device with part of an image. Nor does a file grown past the size
    // this process may write (SIGXFSZ): the write fails, as on a full disk,
    // and the history says so.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

void InterruptSignal::endWithParent(pid_t parent)
{
    // Runs in a child between fork and exec; the mask and the setting
    // survive the exec. Without the mask, a signal sent before the new
    // program has its handler would kill it outright: a device stopped
    // then would be reported failed rather than stopped, with no word.
    sigset_t held;
    stoppingSignals(&held);
    sigprocmask(SIG_BLOCK, &held, nullptr);
    // The parent may already have gone before it took effect.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        raise(SIGTERM);
}

std::atomic<bool> &InterruptSignal::flag()
{
    return raised;
}

int InterruptSignal::exitCode()
{
    const int number = caught.load();
    return number ? 128 + number : int(ExitInterrupted);
}
