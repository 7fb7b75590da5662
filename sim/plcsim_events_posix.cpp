// Linux: the signals that would end plcsim are blocked on every thread and
// taken by sigwait on the main one, so each stops it in order, links removed.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "common/stop_signals.h"
#include "sim/line_link.h"
#include "sim/plcsim_events.h"

namespace plcsim {
namespace {

// Every signal that would end plcsim and can be taken: each stops it as
// Ctrl-C does, so that its links go with it. SIGPIPE too: a reader of the
// output that went away must not leave a link to a line nobody serves,
// whose number the next terminal opened may get.
constexpr int STOP_SIGNALS[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGPIPE, SIGALRM,
                                SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF};

// A crash cannot stop the line in order, but it can still take the links
// away; the signal then ends the process as it would have.
constexpr int CRASH_SIGNALS[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

sigset_t takenSignals;

void OnCrash(int signalNumber)
{
    RemoveLinksOnCrash();
    raise(signalNumber);  // SA_RESETHAND put the default action back
}

void RemoveLinksOnCrashes()
{
    struct sigaction action {};
    action.sa_handler = OnCrash;
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (const int crashSignal : CRASH_SIGNALS)
        sigaction(crashSignal, &action, nullptr);
}

}  // namespace

void TakeEvents()
{
    // Blocked before the serving thread exists, so it inherits the mask and
    // the signals are taken only by sigwait. A write to a closed pipe then
    // fails with EPIPE instead of ending the process.
    sigemptyset(&takenSignals);
    for (const int stopSignal : STOP_SIGNALS)
        sigaddset(&takenSignals, stopSignal);
    sigaddset(&takenSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &takenSignals, nullptr);
    RemoveLinksOnCrashes();
}

Event WaitForEvent()
{
    int signalNumber = 0;
    return sigwait(&takenSignals, &signalNumber) == 0 && signalNumber == SIGUSR1 ? Event::Plug : Event::Stop;
}

void StoppingInOrder()
{
    kivhost::CatchSecondStop("plcsim", "stopped at once, before its line was closed in order; its links are removed",
                             RemoveLinksOnCrash);
    if (isatty(2) == 1) {
        constexpr char SAYS[] =
            "plcsim: stopping: closing the line and removing its links; Ctrl-C again ends at once\n";
        const ssize_t written = write(2, SAYS, sizeof SAYS - 1);
        (void)written;  // a terminal gone: nothing to tell
    }
    // On this thread alone: the serving thread keeps them blocked.
    sigset_t second;
    sigemptyset(&second);
    for (const int stopSignal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&second, stopSignal);
    pthread_sigmask(SIG_UNBLOCK, &second, nullptr);
}

void AskToStop()
{
    // A write's own SIGPIPE went to the thread that wrote; the main thread
    // waits for one sent to the process.
    kill(getpid(), SIGPIPE);
}

}  // namespace plcsim
