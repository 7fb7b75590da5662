// Section 3: a silent station. How closely the driver keeps its time-out,
// and what waiting costs the processor, against plain poll(2) waits.
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/alloc_counter.h"
#include "bench/bench_line.h"
#include "bench/exchange_kinds.h"
#include "bench/report.h"
#include "bench/section.h"
#include "bench/thread_times.h"
#include "wire/pcon_frame.h"

namespace kivbench {

namespace {

struct SilentResult {
    uint32_t units = 0;
    int exchanges = 0;
    double meanSeconds = 0;
    ThreadTimes cpu;
    double pollOvershootMs = -1;  // poll alone, for comparison
    double pollCpuMsPerSecond = -1;
    uint64_t allocations = 0;
    bool allFailed = true;
    double ExpectedSeconds() const { return kivhost::ATTEMPTS_PER_EXCHANGE * units * 0.010; }
    double OvershootPerAttemptMs() const
    {
        return (meanSeconds - ExpectedSeconds()) / kivhost::ATTEMPTS_PER_EXCHANGE * 1000;
    }
    double LimitMs() const { return units * 10 * 0.02 + 5; }
    double CpuMsPerSecond() const { return cpu.Total() * 1000 / (meanSeconds * exchanges); }
};

SilentResult MeasureSilent(uint32_t units, int exchanges, int polls)
{
    SilentResult result;
    result.units = units;
    result.exchanges = exchanges;
    const ExchangeKind kind = Kinds()[0];
    {
        // One failed exchange at the shortest time-out first: the failure
        // path's first use (pages of code touched once) is not waiting.
        Responder line(1, std::string());
        DriverSide driver(kind);
        Require(driver.channel.ColdStart(line.Line(0).PortName(), 1) == SUCCESS, "ColdStart on a pty failed");
        line.Start();
        Require(CallDriver(&driver.request) == RECOVERY_ERROR, "a silent station answered");
        driver.channel.CloseCom();
        line.Join();
    }
    Responder line(1, std::string());
    DriverSide driver(kind);
    Require(driver.channel.ColdStart(line.Line(0).PortName(), units) == SUCCESS, "ColdStart on a pty failed");
    line.Start();

    double total = 0;
    for (int i = 0; i < exchanges; ++i) {
        const ThreadTimes cpu = Now();
        const uint64_t allocations = AllocationCount();
        const auto start = Clock::now();
        int32_t rc;
        {
            AllocationScope counting;
            rc = CallDriver(&driver.request);
        }
        total += Seconds(Clock::now() - start);
        result.cpu += Now() - cpu;
        result.allocations += AllocationCount() - allocations;
        result.allFailed = result.allFailed && rc == RECOVERY_ERROR;
    }
    result.meanSeconds = total / exchanges;
    driver.channel.CloseCom();
    line.Join();

    // The same waits with nothing around them: one poll(2) per attempt on a
    // quiet descriptor. On a virtual machine each wake-up from a long sleep
    // has a processor cost of its own, which the driver cannot avoid.
    if (polls > 0) {
        int fds[2];
        Require(pipe(fds) == 0, "pipe");
        double over = 0;
        double waited = 0;
        const ThreadTimes cpu = Now();
        for (int i = 0; i < polls; ++i) {
            pollfd p{fds[0], POLLIN, 0};
            const auto start = Clock::now();
            poll(&p, 1, static_cast<int>(units * 10));
            const double seconds = Seconds(Clock::now() - start);
            waited += seconds;
            over += seconds * 1000 - units * 10;
        }
        result.pollCpuMsPerSecond = (Now() - cpu).Total() * 1000 / waited;
        result.pollOvershootMs = over / polls;
        close(fds[0]);
        close(fds[1]);
    }
    return result;
}

void ReportSilent(const std::vector<SilentResult>& silents)
{
    PrintHeading("3. Silent station: time-out accuracy and idle cost (BlockRead, 4 attempts)");
    Table table({"readTimeout", "4 × time-out", "measured", "overshoot / attempt", "poll alone overshoot",
                 "limit / attempt", "result", "CPU while waiting", "poll alone CPU", "limit", "result"});
    for (const SilentResult& s : silents) {
        table.Row({Format("%u (%u ms)%s", s.units, s.units * 10, s.allFailed ? "" : " (an exchange succeeded!)"),
                   Format("%.0f ms", s.ExpectedSeconds() * 1000), Format("%.1f ms", s.meanSeconds * 1000),
                   Format("%.2f ms", s.OvershootPerAttemptMs()),
                   s.pollOvershootMs >= 0 ? Format("%.2f ms", s.pollOvershootMs) : "—", Format("%.1f ms", s.LimitMs()),
                   Verdict(s.OvershootPerAttemptMs() < s.LimitMs() && s.allFailed,
                           Format("time-out accuracy at readTimeout %u", s.units)),
                   Format("%.3f ms/s", s.CpuMsPerSecond()),
                   s.pollCpuMsPerSecond >= 0 ? Format("%.3f ms/s", s.pollCpuMsPerSecond) : "—", "< 1 ms/s",
                   Verdict(s.CpuMsPerSecond() < 1.0, Format("idle cost at readTimeout %u", s.units))});
    }
    table.Print();
}

void RunSilentSection(BenchRun& run)
{
    // readTimeout 10 (100 ms) and 100 (1 s).
    std::vector<SilentResult> silents;
    silents.push_back(MeasureSilent(10, run.quick ? 2 : 5, run.quick ? 4 : 20));
    silents.push_back(MeasureSilent(100, run.quick ? 1 : 2, run.quick ? 1 : 4));
    ReportSilent(silents);

    run.heap.push_back(HeapTally("silent station (4 attempts, failure logged)", silents));
}

const SectionRegistration SILENT_SECTION({3, "3", RunSilentSection});

}  // namespace

}  // namespace kivbench
