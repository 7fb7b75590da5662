// plcsim: PLC stations on a pseudo-terminal or a serial device.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "line_link.h"
#include "plc_simulator.h"
#include "plcsim_command_line.h"
#include "plcsim_settings.h"

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

void OnCrash(int signalNumber)
{
    plcsim::RemoveLinksOnCrash();
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

// Why standard output failed (an errno), or 0. The path printed there is how
// a user finds the line, so once it fails plcsim stops.
std::atomic<int> outputError{0};

// One line to standard output, whole; false once writing it has failed.
bool Say(const std::string& line)
{
    if (outputError != 0)
        return false;
    const std::string text = line + "\n";
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0)
        return true;
    int none = 0;
    outputError.compare_exchange_strong(none, errno != 0 ? errno : EIO);
    return false;
}

int OutputFailed(plcsim::Simulator& sim, const char* what)
{
    sim.Stop();
    std::fprintf(stderr, "plcsim: %s: standard output: %s; stopped, the line and its links are gone\n", what,
                 std::strerror(outputError));
    return plcsim::EXIT_OUTPUT;
}

std::string Count(uint64_t n)
{
    return std::to_string(static_cast<unsigned long long>(n));
}

}  // namespace

int main(int argc, char** argv)
{
    const plcsim::Arguments args = plcsim::ParseCommandLine(argc, argv);
    plcsim::Settings settings = plcsim::Check(args);

    // Blocked before the serving thread exists, so it inherits the mask and
    // the signals are taken only by sigwait below. A write to a closed pipe
    // then fails with EPIPE instead of ending the process.
    sigset_t takenSignals;
    sigemptyset(&takenSignals);
    for (const int stopSignal : STOP_SIGNALS)
        sigaddset(&takenSignals, stopSignal);
    sigaddset(&takenSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &takenSignals, nullptr);
    RemoveLinksOnCrashes();

    // Set once the simulator exists, before it serves; read on its thread.
    std::atomic<const plcsim::Simulator*> served{nullptr};
    uint64_t reportedDrops = 0;  // serving thread only
    const auto origin = std::chrono::steady_clock::now();
    if (settings.verbose) {
        settings.options.onRecord = [origin, &served, &reportedDrops](const plcsim::Record& record) {
            bool said = Say(plcsim::FormatRecord(record, origin));
            const plcsim::Simulator* sim = served.load();
            const uint64_t drops = sim != nullptr ? sim->MirrorDropped() : 0;
            if (said && drops > reportedDrops) {
                said = Say("mirror: its reader missed " + Count(drops - reportedDrops) + " bytes, " + Count(drops) +
                           " in all");
                reportedDrops = drops;
            }
            // The write's own SIGPIPE went to this thread; the main thread
            // waits for one sent to the process.
            if (!said)
                kill(getpid(), SIGPIPE);
        };
    }

    // Configure refuses what it cannot apply and exits: nothing is served yet.
    std::unique_ptr<plcsim::Simulator> sim;
    try {
        sim = std::make_unique<plcsim::Simulator>(settings.options);
        served = sim.get();
        plcsim::Configure(*sim, args);
        if (settings.device.empty()) {
            sim->StartPty();
        } else {
            sim->StartDevice(settings.device);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "plcsim: %s\n", error.what());
        return plcsim::EXIT_LINE;
    }
    if (!Say(sim->SlavePath()) || (!settings.options.mirror.empty() && !Say(sim->MirrorPath())))
        return OutputFailed(*sim, "the line's path cannot be told");

    // SIGUSR1 pulls the adapter out and plugs it in again, turn about: a
    // host sees its port hang up, and a new line at the link once replugged.
    bool plugged = true;
    for (int signalNumber = 0; sigwait(&takenSignals, &signalNumber) == 0 && signalNumber == SIGUSR1;) {
        try {
            if (plugged) {
                sim->Unplug();
            } else {
                sim->Replug();
            }
            plugged = !plugged;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "plcsim: plugging the line in again: %s\n", error.what());
            sim->Stop();
            return plcsim::EXIT_LINE;
        }
        if (!Say(plugged ? "plugged in again: " + sim->SlavePath() : "unplugged (SIGUSR1 plugs the line in again)"))
            return OutputFailed(*sim, "the line's new path cannot be told");
    }
    sim->Stop();
    if (outputError != 0)
        return OutputFailed(*sim, "the requests and replies cannot be shown");
    if (settings.verbose && sim->MirrorDropped() > 0 &&
        !Say("mirror: its reader missed " + Count(sim->MirrorDropped()) + " bytes in all"))
        return OutputFailed(*sim, "the mirror's losses cannot be told");
    return 0;
}
