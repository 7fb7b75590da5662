// Section 8: kivhost monitor listening on plcsim's mirror of a line paced at
// 115200 baud that carries back-to-back 255-word replies. Does it keep up
// (every frame seen, none dropped by the mirror), and what share of a core
// does it take while it does.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "analysis/serial_tap.h"
#include "bench/exchange_kinds.h"
#include "bench/report.h"
#include "bench/section.h"
#include "bench/thread_times.h"
#include "sim/plc_simulator.h"

namespace kivbench {

namespace {

constexpr int BAUD = 115200;
constexpr double CPU_TARGET = 0.05;  // of one core

struct WatchResult {
    const char* reading = "";
    bool target = false;  // the way kivhost monitor reads, which the target is for
    int exchanges = 0;
    int failures = 0;  // the driver's
    uint64_t frames = 0;
    uint64_t goodAttempts = 0;
    uint64_t attempts = 0;
    uint64_t mirrorDropped = 0;
    ThreadTimes cpu;
    double wallSeconds = 0;

    double Share() const { return cpu.Total() / wallSeconds; }
    bool NoneLost() const
    {
        return failures == 0 && mirrorDropped == 0 && frames == 2 * static_cast<uint64_t>(exchanges) &&
               attempts == static_cast<uint64_t>(exchanges) && goodAttempts == attempts;
    }
};

// One watch: the driver reads 255 words back to back for `seconds` while
// the monitor, on a thread of its own, listens on the mirror.
WatchResult MeasureWatch(const ExchangeKind& kind, const kivhost::WatchOptions& watch, double seconds)
{
    WatchResult result;
    plcsim::Options options;
    options.stations = {1};
    options.baud = BAUD;
    options.pace = true;
    options.maxRecords = 8;
    options.mirror = "/tmp/kivbench-mirror-" + std::to_string(getpid());
    plcsim::Simulator sim(options);
    sim.StartPty();
    for (int i = 0; i < kind.count; ++i)
        sim.SetWord(1, 0x10 + i, static_cast<uint16_t>(0x1234 + i * 0x0101));

    kivhost::TapSettings line;
    line.port = sim.MirrorPath();
    line.baud = BAUD;
    std::string error;
    const auto tap = kivhost::SerialTap::Open(line, &error);
    Require(tap != nullptr, "monitor: " + error);
    FILE* shown = std::fopen("/dev/null", "w");  // the monitor's lines, made as for a terminal
    Require(shown != nullptr, "monitor: cannot open /dev/null");
    kivhost::MonitorOutputs outputs;
    outputs.text = shown;
    kivhost::LineMonitor monitor(kivhost::MonitorSettings{}, outputs);

    kivhost::StopToken stop;
    std::thread listener([&]() {
        const ThreadTimes start = Now();
        const auto wallStart = Clock::now();
        kivhost::WatchLine(*tap, monitor, watch, kivhost::MonotonicUs(), stop);
        result.cpu = Now() - start;
        result.wallSeconds = Seconds(Clock::now() - wallStart);
    });

    DriverSide driver(kind);
    // The pseudo-terminal ignores the speed; the simulator paces the line.
    Require(driver.channel.ColdStart(sim.SlavePath().substr(5), 300, 57600) == SUCCESS,
            "ColdStart on the simulator failed");
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        result.failures += !driver.Exchange();
        ++result.exchanges;
    }
    driver.channel.CloseCom();
    // The last reply's bytes reach the mirror as the driver reads them.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop.Request();
    listener.join();
    monitor.Finish();
    std::fclose(shown);

    result.frames = monitor.Frames();
    result.attempts = monitor.Attempts();
    for (const auto& [station, tally] : monitor.Tally().Stations()) {
        result.goodAttempts += tally.attempts;
        for (const auto& [outcome, n] : tally.failures)
            result.goodAttempts -= n;
    }
    result.mirrorDropped = sim.MirrorDropped();
    sim.Stop();
    return result;
}

void RunMonitorSection(BenchRun& run)
{
    const double seconds = run.quick ? 1.5 : 10;
    const std::vector<ExchangeKind> kinds = Kinds();
    const ExchangeKind* kind = nullptr;
    for (const ExchangeKind& k : kinds)
        if (k.count == 255)
            kind = &k;
    Require(kind != nullptr, "monitor: no 255-word exchange");

    kivhost::WatchOptions asKivhost;  // gathers inside long frames
    kivhost::WatchOptions everyByte;
    everyByte.gatherUs = 0;
    std::vector<WatchResult> results;
    // Each reading twice, alternately, so that drift falls on both.
    for (int round = 0; round < 2; ++round) {
        for (int which = 0; which < 2; ++which) {
            const bool target = (which + round) % 2 == 0;
            WatchResult r = MeasureWatch(*kind, target ? asKivhost : everyByte, seconds / 2);
            r.reading = target ? "as kivhost monitor (1 ms gathering inside long frames)" : "every byte as it comes";
            r.target = target;
            results.push_back(r);
        }
    }

    PrintHeading("9. kivhost monitor on plcsim's mirror: 115200 baud, back-to-back BlockRead of 255 words");
    Table table({"reading", "exchanges", "frames seen / on the line", "mirror dropped", "CPU user+sys", "of a core",
                 "target", "result"});
    for (int target = 1; target >= 0; --target) {
        WatchResult sum;
        for (const WatchResult& r : results) {
            if (r.target != static_cast<bool>(target))
                continue;
            sum.reading = r.reading;
            sum.exchanges += r.exchanges;
            sum.failures += r.failures;
            sum.frames += r.frames;
            sum.attempts += r.attempts;
            sum.goodAttempts += r.goodAttempts;
            sum.mirrorDropped += r.mirrorDropped;
            sum.cpu += r.cpu;
            sum.wallSeconds += r.wallSeconds;
        }
        const bool ok = sum.NoneLost() && sum.Share() < CPU_TARGET;
        table.Row({sum.reading, std::to_string(sum.exchanges),
                   Format("%llu / %d", static_cast<unsigned long long>(sum.frames), 2 * sum.exchanges),
                   std::to_string(sum.mirrorDropped), Format("%.1f ms/s", sum.cpu.Total() / sum.wallSeconds * 1000),
                   Format("%.2f%%", sum.Share() * 100), target ? "none lost, < 5%" : "none lost",
                   target ? Verdict(ok, "monitor at 115200") + Failed(static_cast<uint64_t>(sum.failures))
                          : (sum.NoneLost() ? "no target" : "lost frames")});
    }
    table.Print();
}

const SectionRegistration MONITOR_SECTION({9, "9", RunMonitorSection});

}  // namespace

}  // namespace kivbench
