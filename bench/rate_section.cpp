// Sections 1 and 2: the exchange rate of the driver against the floor's, and
// what each exchange costs the processor, measured in the same rounds; the
// instructions in KivMain come from a callgrind run.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/alloc_counter.h"
#include "bench/bench_line.h"
#include "bench/callgrind.h"
#include "bench/exchange_kinds.h"
#include "bench/report.h"
#include "bench/rounds.h"
#include "bench/section.h"
#include "bench/thread_times.h"

namespace kivbench {

namespace {

// The driver's rate over the floor's, median round: what the driver may add to
// the line's own system calls.
constexpr double RATE_TARGET = 0.95;

struct RateResult {
    const ExchangeKind* kind = nullptr;
    uint64_t exchanges = 0;  // each side
    double driverSeconds = 0;
    double floorSeconds = 0;
    ThreadTimes driverCpu;
    ThreadTimes floorCpu;
    uint64_t allocations = 0;
    uint64_t failures = 0;
    std::vector<double> roundRatios;  // driver rate / floor rate, round by round
    double DriverRate() const { return exchanges / driverSeconds; }
    double FloorRate() const { return exchanges / floorSeconds; }
    double Ratio() const { return Median(roundRatios); }
};

// A driver channel and the floor client on one responder, warmed up and
// checked: the driver's frame is the floor's byte for byte and both replies
// arrive whole.
class RateLine {
public:
    RateLine(const ExchangeKind& kind, int warmUp);
    ~RateLine()
    {
        driver_.channel.CloseCom();
        floor_.Close();
        station_.Join();
    }
    RateLine(const RateLine&) = delete;
    RateLine& operator=(const RateLine&) = delete;

    bool DriverExchange() { return driver_.Exchange(); }
    bool FloorExchange() { return floor_.Exchange(kind_.request, reply_.data(), kind_.header, kind_.rest); }

private:
    const ExchangeKind& kind_;
    Responder station_;  // line 0 the driver's, line 1 the floor's
    DriverSide driver_;
    FloorClient floor_;
    std::vector<uint8_t> reply_;
};

RateLine::RateLine(const ExchangeKind& kind, int warmUp)
    : kind_(kind), station_(2, kind.reply), driver_(kind), reply_(kind.reply.size())
{
    Require(driver_.channel.ColdStart(station_.Line(0).PortName(), 100) == SUCCESS, "ColdStart on a pty failed");
    Require(floor_.Open(station_.Line(1).SlavePath()), "floor client: cannot open the pty");
    station_.Start();
    for (int i = 0; i < warmUp; ++i) {
        Require(DriverExchange(), std::string(kind.name) + ": the driver's exchange failed");
        Require(FloorExchange(), std::string(kind.name) + ": the floor's exchange failed");
    }
    CheckSameFrame(driver_, kind);
    Require(std::memcmp(reply_.data(), kind.reply.data(), reply_.size()) == 0, "floor: unexpected reply");
    if (kind.code == CMD_BLOCK_READ)
        Require(driver_.io.values[0] == 0x1234 && driver_.io.values[1] == 0x1335, "driver: values not decoded");
}

RateResult MeasureRate(const ExchangeKind& kind, int rounds, int perRound, int warmUp)
{
    RateResult result;
    result.kind = &kind;
    RateLine line(kind, warmUp);

    const auto runDriver = [&] {
        const ThreadTimes cpu = Now();
        const uint64_t allocations = AllocationCount();
        const auto start = Clock::now();
        {
            AllocationScope counting;
            for (int i = 0; i < perRound; ++i)
                result.failures += !line.DriverExchange();
        }
        const double seconds = Seconds(Clock::now() - start);
        result.driverSeconds += seconds;
        result.driverCpu += Now() - cpu;
        result.allocations += AllocationCount() - allocations;
        return seconds;
    };
    const auto runFloor = [&] {
        const ThreadTimes cpu = Now();
        const auto start = Clock::now();
        for (int i = 0; i < perRound; ++i)
            result.failures += !line.FloorExchange();
        const double seconds = Seconds(Clock::now() - start);
        result.floorSeconds += seconds;
        result.floorCpu += Now() - cpu;
        return seconds;
    };
    result.roundRatios = InterleavedRounds(rounds, runDriver, runFloor);
    result.exchanges = static_cast<uint64_t>(rounds) * static_cast<uint64_t>(perRound);
    return result;
}

void ReportRates(const std::vector<RateResult>& rates)
{
    PrintHeading("1. Exchange rate against the floor (pty, responder answers at once)");
    Table table({"exchange", "bytes out/in", "driver exch/s", "floor exch/s", "driver/floor, all rounds",
                 "driver/floor, median round", "target", "result"});
    for (const RateResult& r : rates) {
        const double ratio = r.Ratio();
        table.Row({r.kind->name, Format("%zu/%zu", r.kind->request.size(), r.kind->reply.size()),
                   Grouped(r.DriverRate()), Grouped(r.FloorRate()), Format("%.3f", r.DriverRate() / r.FloorRate()),
                   Format("%.3f", ratio), Format("median ≥ %.2f", RATE_TARGET),
                   Verdict(ratio >= RATE_TARGET && r.failures == 0, std::string("rate ") + r.kind->name) +
                       Failed(r.failures)});
    }
    table.Print();
}

void ReportProcessorCost(const std::vector<RateResult>& rates, const std::map<std::string, Instructions>& instructions,
                         const std::string& reason)
{
    PrintHeading("2. Processor cost per exchange (calling thread, kernel included; instructions: user space only)");
    Table cpu({"exchange", "driver user+sys", "(user / sys)", "floor user+sys", "driver − floor",
               "instructions in KivMain", "of them in the host's err", "result"});
    for (const RateResult& r : rates) {
        const double n = static_cast<double>(r.exchanges);
        const auto found = instructions.find(r.kind->name);
        const bool counted = found != instructions.end();
        cpu.Row({r.kind->name, Us(r.driverCpu.Total() / n) + " µs",
                 Us(r.driverCpu.user / n) + " / " + Us(r.driverCpu.system / n), Us(r.floorCpu.Total() / n) + " µs",
                 Us((r.driverCpu.Total() - r.floorCpu.Total()) / n) + " µs",
                 counted ? Grouped(found->second.total) : "— (" + reason + ")",
                 counted ? Grouped(found->second.inErr) : "—", "no target"});
    }
    cpu.Print();
}

void RunRateSection(BenchRun& run)
{
    // 40 rounds of 1000 exchanges a side, 200 for 255 words.
    const int rounds = run.quick ? 6 : 40;
    const int perRound[] = {run.quick ? 100 : 1000, run.quick ? 25 : 200, run.quick ? 100 : 1000};
    const int warmUp = run.quick ? 20 : 200;
    const int callgrindExchanges = run.quick ? 20 : 200;

    const std::vector<ExchangeKind> kinds = Kinds();
    std::vector<RateResult> rates;
    for (size_t k = 0; k < kinds.size(); ++k)
        rates.push_back(MeasureRate(kinds[k], rounds, perRound[k], warmUp));
    ReportRates(rates);
    for (const RateResult& r : rates)
        run.heap.push_back({r.kind->name, r.exchanges, r.allocations});

    std::string reason;
    std::map<std::string, Instructions> instructions;
    if (run.callgrind)
        instructions = RunCallgrind(callgrindExchanges, &reason);
    else
        reason = "skipped";
    ReportProcessorCost(rates, instructions, reason);
}

const SectionRegistration RATE_SECTION({1, "1 (rate, with 2 and 5)", RunRateSection});

// Kind k of Kinds(), the driver's side or the floor's.
template <size_t K, bool DRIVER>
void CountSide(int exchanges)
{
    const std::vector<ExchangeKind> kinds = Kinds();
    RateLine line(kinds[K], 200);
    for (int i = 0; i < exchanges; ++i)
        Require(DRIVER ? line.DriverExchange() : line.FloorExchange(), "exchange failed");
}

const SideRegistration DRIVER_READ2({"driver-read2", CountSide<0, true>});
const SideRegistration FLOOR_READ2({"floor-read2", CountSide<0, false>});
const SideRegistration DRIVER_READ255({"driver-read255", CountSide<1, true>});
const SideRegistration FLOOR_READ255({"floor-read255", CountSide<1, false>});
const SideRegistration DRIVER_WRITE1({"driver-write1", CountSide<2, true>});
const SideRegistration FLOOR_WRITE1({"floor-write1", CountSide<2, false>});

}  // namespace

}  // namespace kivbench
