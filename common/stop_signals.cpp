#include "common/stop_signals.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wire/pcon_frame.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <pthread.h>
#include <time.h>
#include <unistd.h>
#endif

namespace kivhost {
namespace {

// The one place that holds the run's token: everything else is handed it.
StopToken& RunStop()
{
    static StopToken token;
    return token;
}

// Read by the handler: set before it is installed, never after.
StopToken* caught = nullptr;
void (*atOnceHook)() = nullptr;

// Written by the handler as it is: it may not allocate.
char onceText[400];
size_t onceLength = 0;
char twiceText[200];
size_t twiceLength = 0;
constexpr char TWICE_TEXT[] = "stopped at once, in the middle of an exchange; the driver was not ended "
                              "and the system closes the port";

void SetText(char* into, size_t room, size_t* length, const std::string& text)
{
    *length = std::min(text.size(), room);
    std::memcpy(into, text.data(), *length);
}

// The second signal's words, named for the program that gets it.
void SetTwiceText(const char* program, const char* words)
{
    SetText(twiceText, sizeof twiceText, &twiceLength, std::string(program) + ": " + words + "\n");
}

void WriteError(const char* text, size_t length)
{
#if defined(_WIN32)
    const int written = _write(2, text, static_cast<unsigned>(length));
#else
    const ssize_t written = write(2, text, length);
#endif
    (void)written;  // nothing more can be done in a signal handler
}

extern "C" void OnStopSignal(int signal)
{
#if defined(_WIN32)
    std::signal(signal, OnStopSignal);  // Windows puts back the default before calling
#else
    (void)signal;
#endif
    if (!caught->Requested()) {
        caught->Request();
        WriteError(onceText, onceLength);
        return;
    }
    if (caught->Busy()) {
        WriteError(twiceText, twiceLength);
        if (atOnceHook != nullptr)
            atOnceHook();
        _exit(EXIT_INTERRUPTED);
    }
}

StopToken& Install()
{
    caught = &RunStop();
#if defined(_WIN32)
    std::signal(SIGINT, OnStopSignal);
#else
    // No SA_RESTART: a wait in progress ends early and the loop sees the token.
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A terminal or ssh session closing: the run ends as after a Ctrl-C, so
    // its logs end on a whole cycle.
    sigaction(SIGHUP, &action, nullptr);
#endif
    return *caught;
}

}  // namespace

void RequestStop()
{
    RunStop().Request();
}

std::string StopMessage(const LineOptions& line, size_t longestReply, const char* program)
{
    const double most = 4 * (line.TimeoutMs() + WireMs(READ_REQUEST_BYTES + longestReply, line));
    char text[300];
    std::snprintf(text, sizeof text,
                  "%s: stopping after the current exchange: usually within %.1f s (4 attempts of --timeout %u ms; "
                  "a reply still trickling in takes longer); "
                  "Ctrl-C again ends at once\n",
                  program, most / 1000, static_cast<unsigned>(line.TimeoutMs()));
    return text;
}

StopToken& CatchStopSignals(const LineOptions& line, size_t longestReply, const char* program)
{
    SetText(onceText, sizeof onceText, &onceLength, StopMessage(line, longestReply, program));
    SetTwiceText(program, TWICE_TEXT);
    return Install();
}

StopToken& CatchStopSignals()
{
    onceLength = 0;
    SetTwiceText("kivhost", TWICE_TEXT);
    return Install();
}

StopToken& CatchSecondStop(const char* program, const char* atOnceWords, void (*atOnce)())
{
    onceLength = 0;
    SetTwiceText(program, atOnceWords);
    atOnceHook = atOnce;
    StopToken& token = RunStop();
    token.Request();
    token.SetBusy(true);
    return Install();
}

#if defined(_WIN32)
StopSignalsHeld::StopSignalsHeld() : before_{}
{
}
StopSignalsHeld::~StopSignalsHeld() = default;
#else
StopSignalsHeld::StopSignalsHeld() : before_{}
{
    static_assert(sizeof(sigset_t) <= sizeof before_ && alignof(sigset_t) <= 8);
    sigset_t held;
    sigemptyset(&held);
    for (const int stopSignal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&held, stopSignal);
    pthread_sigmask(SIG_BLOCK, &held, reinterpret_cast<sigset_t*>(before_));
}

StopSignalsHeld::~StopSignalsHeld()
{
    pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(before_), nullptr);
}
#endif

void SleepMs(uint32_t ms)
{
#if defined(_WIN32)
    Sleep(ms);
#else
    timespec span{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&span, nullptr);
#endif
}

}  // namespace kivhost
