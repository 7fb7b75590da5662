#include "kivhost_diag.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "kivhost_commands.h"
#include "kivhost_options.h"
#include "line_monitor.h"
#include "trace_decode.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <signal.h>

#include <atomic>

#include "serial_tap.h"
#endif

namespace kivhost {
namespace {

struct FileCloser {
    void operator()(FILE* file) const
    {
        if (file != nullptr && file != stdin)
            std::fclose(file);
    }
};
using File = std::unique_ptr<FILE, FileCloser>;

#if !defined(_WIN32)
std::atomic<bool> stopWatching{false};

extern "C" void OnWatchSignal(int)
{
    stopWatching.store(true);
}

const char* ParityLetter(uint16_t parity)
{
    static const char* const LETTERS[] = {"N", "O", "E", "M", "S"};
    return parity < 5 ? LETTERS[parity] : "?";
}

const char* StopBitsText(uint16_t stopBits)
{
    return stopBits == 0 ? "1" : stopBits == 1 ? "1.5" : "2";
}
#endif

}  // namespace

int RunDecode(const DecodeOptions& options)
{
    const bool fromStdin = options.file.empty() || options.file == "-";
    File input(fromStdin ? stdin : std::fopen(options.file.c_str(), "rb"));
    if (!input)
        return Complain(EXIT_FAILED, "cannot read " + options.file + ": " + std::strerror(errno));
#if defined(_WIN32)
    // The trace is read byte for byte: no end at a ^Z, no CR taken away.
    if (fromStdin)
        _setmode(_fileno(stdin), _O_BINARY);
#endif
    const std::string name = fromStdin ? "standard input" : options.file;

    std::string out;
    TraceDecoder decoder(options.json, &out);
    const auto show = [&out]() {
        std::fputs(out.c_str(), stdout);
        out.clear();
    };
    char buffer[65536];
    for (;;) {
        const size_t got = std::fread(buffer, 1, sizeof buffer, input.get());
        if (got > 0) {
            decoder.Feed(std::string_view(buffer, got));
            show();
        }
        if (got < sizeof buffer) {
            if (std::ferror(input.get()))
                return Complain(EXIT_FAILED, "cannot read " + name + ": " + std::strerror(errno));
            break;
        }
    }
    decoder.Finish();
    show();
    std::fflush(stdout);
    if (decoder.Attempts() == 0)
        std::fprintf(stderr,
                     "kivhost: no driver trace in %s (lines \"REVIZ: N bytes will be send\" and the bytes "
                     "under them); give the host's captured standard output\n",
                     name.c_str());
    return EXIT_DONE;
}

int RunMonitor(const MonitorOptions& options)
{
#if defined(_WIN32)
    (void)options;
    return Complain(EXIT_USAGE, "monitor opens its port with termios, which runs on Linux only; listen on the line "
                                "from a Linux machine (see README)");
#else
    File jsonl;
    File csv;
    if (!options.jsonl.empty() && !(jsonl = File(std::fopen(options.jsonl.c_str(), "w"))))
        return Complain(EXIT_FAILED, "cannot write --jsonl " + options.jsonl + ": " + std::strerror(errno));
    if (!options.csv.empty() && !(csv = File(std::fopen(options.csv.c_str(), "w"))))
        return Complain(EXIT_FAILED, "cannot write --csv " + options.csv + ": " + std::strerror(errno));

    TapSettings line;
    line.port = options.port;
    line.baud = options.baud;
    line.dataBits = options.dataBits;
    line.parity = options.parity;
    line.stopBits = options.stopBits;
    std::string error;
    const auto tap = SerialTap::Open(line, &error);
    if (!tap)
        return Complain(EXIT_FAILED, error);

    // No SA_RESTART: the wait in progress ends and the loop sees the flag.
    struct sigaction action = {};
    action.sa_handler = OnWatchSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    MonitorSettings settings;
    settings.gapUs = static_cast<uint64_t>(options.gapMs) * 1000;
    settings.lateUs = static_cast<uint64_t>(options.lateMs) * 1000;
    const uint64_t origin = MonotonicUs();
    MonitorOutputs outputs;
    outputs.text = stdout;
    outputs.jsonl = jsonl.get();
    outputs.csv = csv.get();
    outputs.utcAtOriginUs = WallClockUs();
    LineMonitor monitor(settings, outputs);

    std::fprintf(stderr,
                 "kivhost: listening on %s at %u baud %u%s%s, never writing to it; times in ms from now; Ctrl-C "
                 "ends with the summary\n",
                 tap->Path().c_str(), static_cast<unsigned>(options.baud), static_cast<unsigned>(options.dataBits),
                 ParityLetter(options.parity), StopBitsText(options.stopBits));
    std::fflush(stderr);

    WatchOptions watch;
    watch.gapUs = settings.gapUs;
    const WatchEnd end = WatchLine(*tap, monitor, watch, origin, stopWatching);
    const int readError = errno;
    monitor.Finish();
    std::printf("\nPer station (%llu frames in %.1f s):\n%s", static_cast<unsigned long long>(monitor.Frames()),
                static_cast<double>(MonotonicUs() - origin) / 1e6, monitor.Summary().c_str());
    std::fflush(stdout);
    if (jsonl) {
        std::fprintf(jsonl.get(), "%s\n", Json{{"summary", monitor.Tally().ToJson(true)}}.dump().c_str());
        std::fflush(jsonl.get());
    }
    if (end == WatchEnd::HungUp)
        return Complain(EXIT_FAILED, "the line hung up: " + tap->Path() + " was closed at its other end");
    if (end == WatchEnd::Failed)
        return Complain(EXIT_FAILED, "cannot read " + tap->Path() + ": " + std::strerror(readError));
    return EXIT_DONE;
#endif
}

}  // namespace kivhost
