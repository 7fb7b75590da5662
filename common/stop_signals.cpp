#include "common/stop_signals.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wire/pcon_frame.h"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <time.h>
#include <unistd.h>
#endif

namespace kivhost {

volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t inExchange = 0;

namespace {

// Set in a signal handler, so it must not take a lock.
static_assert(std::atomic<bool>::is_always_lock_free);
std::atomic<bool> stopFlag{false};

// Written by the handler as it is: it may not allocate.
char onceText[400];
size_t onceLength = 0;
char twiceText[200];
size_t twiceLength = 0;
constexpr char TWICE_TEXT[] = ": stopped at once, in the middle of an exchange; the driver was not ended "
                              "and the system closes the port\n";

// The second signal's words, named for the program that gets it.
void SetTwiceText(const char* program)
{
    const std::string text = std::string(program) + TWICE_TEXT;
    twiceLength = std::min(text.size(), sizeof twiceText);
    std::memcpy(twiceText, text.data(), twiceLength);
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
    if (stopRequested == 0) {
        stopRequested = 1;
        stopFlag.store(true);
        WriteError(onceText, onceLength);
        return;
    }
    if (inExchange != 0) {
        WriteError(twiceText, twiceLength);
        _exit(EXIT_INTERRUPTED);
    }
}

void Install()
{
#if defined(_WIN32)
    std::signal(SIGINT, OnStopSignal);
#else
    // No SA_RESTART: a wait in progress ends early and the loop sees the flag.
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A terminal or ssh session closing: the run ends as after a Ctrl-C, so
    // its logs end on a whole cycle.
    sigaction(SIGHUP, &action, nullptr);
#endif
}

}  // namespace

const std::atomic<bool>& StopFlag()
{
    return stopFlag;
}

void RequestStop()
{
    stopRequested = 1;
    stopFlag.store(true);
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

void CatchStopSignals(const LineOptions& line, size_t longestReply, const char* program)
{
    const std::string message = StopMessage(line, longestReply, program);
    onceLength = std::min(message.size(), sizeof onceText);
    std::memcpy(onceText, message.data(), onceLength);
    SetTwiceText(program);
    Install();
}

void CatchStopSignals()
{
    onceLength = 0;
    SetTwiceText("kivhost");
    Install();
}

void SleepMs(uint32_t ms)
{
#if defined(_WIN32)
    Sleep(ms);
#else
    timespec span{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&span, nullptr);
#endif
}

void SleepUntilOrStop(std::chrono::steady_clock::time_point until)
{
    while (stopRequested == 0) {
        // Rounded up: waking a fraction of a millisecond early would find
        // nothing due yet.
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            return;
        SleepMs(static_cast<uint32_t>(std::min<long long>(left, 100)));
    }
}

}  // namespace kivhost
