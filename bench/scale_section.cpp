// Section 6: channels side by side, one thread and one station each.
//
// A driver that serialised its channels (a lock held across an exchange)
// would stay near 1× on the waiting line while the floor's threads scale: the
// target compares the driver's speed-up with the floor's. On the busy line the
// processors are the limit and the ratio only repeats the processor cost of 2.
#include <atomic>
#include <barrier>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_line.h"
#include "bench/exchange_kinds.h"
#include "bench/report.h"
#include "bench/section.h"
#include "bench/thread_times.h"

namespace kivbench {

namespace {

struct ScaleResult {
    int channels = 0;
    double driverRate = 0;
    double floorRate = 0;
    uint64_t failures = 0;
};

ScaleResult MeasureScale(int channels, std::chrono::microseconds turnaround, int rounds, int perThread)
{
    const ExchangeKind kind = Kinds()[0];
    // Channel c of the driver and of the floor share station c.
    std::vector<std::unique_ptr<Responder>> stations;
    std::vector<std::unique_ptr<DriverSide>> drivers;
    std::vector<std::unique_ptr<FloorClient>> floors;
    for (int c = 0; c < channels; ++c) {
        stations.push_back(std::make_unique<Responder>(2, kind.reply, turnaround));
        drivers.push_back(std::make_unique<DriverSide>(kind));
        Require(drivers[c]->channel.ColdStart(stations[c]->Line(0).PortName(), 100) == SUCCESS,
                "ColdStart on a pty failed");
        floors.push_back(std::make_unique<FloorClient>());
        Require(floors[c]->Open(stations[c]->Line(1).SlavePath()), "floor client: cannot open the pty");
        stations[c]->Start();
    }
    std::vector<uint8_t> scratch(kind.reply.size() * channels);
    std::atomic<uint64_t> failures{0};

    // One thread per channel for the whole measurement, working the driver's
    // channel or the floor's as told: both sides run on the same threads,
    // wherever the scheduler has put them. The clock runs from the common
    // start to the last thread's end.
    enum Work { DRIVER, FLOOR, QUIT };
    std::atomic<int> work{DRIVER};
    std::barrier sync(channels + 1);
    std::vector<std::thread> threads;
    for (int c = 0; c < channels; ++c) {
        threads.emplace_back([&, c] {
            for (;;) {
                sync.arrive_and_wait();
                const int what = work.load();
                if (what == QUIT)
                    return;
                uint64_t failed = 0;
                for (int i = 0; i < perThread; ++i) {
                    if (what == DRIVER)
                        failed += !drivers[c]->Exchange();
                    else
                        failed += !floors[c]->Exchange(kind.request, scratch.data() + c * kind.reply.size(),
                                                       kind.header, kind.rest);
                }
                failures += failed;
                sync.arrive_and_wait();
            }
        });
    }
    const auto runSide = [&](Work what) {
        work = what;
        const auto start = Clock::now();
        sync.arrive_and_wait();
        sync.arrive_and_wait();
        return Seconds(Clock::now() - start);
    };

    runSide(DRIVER);  // warm-up
    runSide(FLOOR);
    double driverSeconds = 0;
    double floorSeconds = 0;
    failures = 0;
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            driverSeconds += runSide(DRIVER);
            floorSeconds += runSide(FLOOR);
        } else {
            floorSeconds += runSide(FLOOR);
            driverSeconds += runSide(DRIVER);
        }
    }
    work = QUIT;
    sync.arrive_and_wait();
    for (auto& t : threads)
        t.join();
    for (int c = 0; c < channels; ++c) {
        drivers[c]->channel.CloseCom();
        floors[c]->Close();
        stations[c]->Join();
    }
    const double exchanges = static_cast<double>(rounds) * channels * perThread;
    return {channels, exchanges / driverSeconds, exchanges / floorSeconds, failures.load()};
}

void RunScaleSection(BenchRun& run)
{
    const int rounds = run.quick ? 2 : 4;
    const int perThreadWaiting = run.quick ? 10 : 100;
    const int perThreadBusy = run.quick ? 100 : 1000;

    PrintHeading("6. Channels side by side: one thread and one station per channel (BlockRead 2 words)");
    for (const auto turnaround : {std::chrono::microseconds(2000), std::chrono::microseconds(0)}) {
        const bool waiting = turnaround.count() > 0;
        PrintParagraph(waiting ? "Station turnaround 2 ms: the line, not the processors, limits each channel."
                               : "Station answers at once: the two processors limit the total (no target).");
        Table table({"channels", "driver exch/s", "floor exch/s", "driver/floor", "driver speed-up", "floor speed-up",
                     "driver speed-up / floor's", "target", "result"});
        ScaleResult single;
        for (int channels : {1, 2, 4, 8}) {
            const ScaleResult s =
                MeasureScale(channels, turnaround, rounds, waiting ? perThreadWaiting : perThreadBusy);
            if (channels == 1)
                single = s;
            const double driverSpeedUp = s.driverRate / single.driverRate;
            const double floorSpeedUp = s.floorRate / single.floorRate;
            const double scaling = driverSpeedUp / floorSpeedUp;
            const bool judged = waiting && channels > 1;
            table.Row(
                {std::to_string(channels), Grouped(s.driverRate), Grouped(s.floorRate),
                 Format("%.3f", s.driverRate / s.floorRate), Format("%.2f×", driverSpeedUp),
                 Format("%.2f×", floorSpeedUp), channels > 1 ? Format("%.3f", scaling) : "—", judged ? "≥ 0.90" : "—",
                 (judged ? Verdict(scaling >= 0.90 && s.failures == 0, Format("%d channels side by side", channels))
                         : std::string("—")) +
                     Failed(s.failures)});
        }
        table.Print();
    }
}

const SectionRegistration SCALE_SECTION({6, "6", RunScaleSection});

}  // namespace

}  // namespace kivbench
