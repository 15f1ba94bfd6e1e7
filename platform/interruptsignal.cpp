#include "interruptsignal.h"

#include "exitcode.h"

#include <csignal>
#include <cstring>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

std::atomic<bool> raised { false };
std::atomic<int> caught { 0 };
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");
static_assert(std::atomic<int>::is_always_lock_free, "the number is set from a signal handler");

void onSignal(int number)
{
    int none = 0;
    caught.compare_exchange_strong(none, number);
    raised = true;
    static const char note[] = "\nStopping cleanly; press Ctrl+C again to quit at once.\n";
    // Only async-signal-safe calls here.
    const ssize_t written = write(STDERR_FILENO, note, sizeof note - 1);
    (void)written;
}

} // namespace

void InterruptSignal::install()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // After the first signal the default comes back: a second one ends the
    // program at once.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed terminal or ssh session: nobody is left to watch the
    // update, which stops as cleanly as on SIGTERM.
    sigaction(SIGHUP, &action, nullptr);
}

void InterruptSignal::endWithParent(pid_t parent)
{
    // Runs in a child between fork and exec; the setting survives the exec.
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
