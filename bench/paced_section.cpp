// Section 4: a line paced at a real baud rate by the simulator. What the
// driver adds to the time the bytes take on the wire.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bench/alloc_counter.h"
#include "bench/bench_line.h"
#include "bench/exchange_kinds.h"
#include "bench/report.h"
#include "bench/section.h"
#include "bench/thread_times.h"
#include "sim/plc_simulator.h"

namespace kivbench {

namespace {

struct PacedResult {
    int baud = 0;
    const ExchangeKind* kind = nullptr;
    int exchanges = 0;
    double driverSeconds = 0;
    double floorSeconds = 0;
    uint64_t allocations = 0;
    uint64_t failures = 0;
    double DriverMs() const { return driverSeconds / exchanges * 1000; }
    double FloorMs() const { return floorSeconds / exchanges * 1000; }
    double WireMs(size_t bytes) const { return bytes * 10.0 / baud * 1000; }
    double RequestWireMs() const { return WireMs(kind->request.size()); }
    double ReplyWireMs() const { return WireMs(kind->reply.size()); }
};

plcsim::Options PacedOptions(int baud)
{
    plcsim::Options options;
    options.stations = {1};
    options.baud = baud;
    options.pace = true;
    options.maxRecords = 8;
    return options;
}

PacedResult MeasurePaced(int baud, const ExchangeKind& kind, int rounds, int perRound)
{
    PacedResult result;
    result.baud = baud;
    result.kind = &kind;
    plcsim::Simulator driverLine(PacedOptions(baud));
    plcsim::Simulator floorLine(PacedOptions(baud));
    driverLine.StartPty();
    floorLine.StartPty();
    for (plcsim::Simulator* sim : {&driverLine, &floorLine})
        for (int i = 0; i < kind.count; ++i)
            sim->SetWord(1, 0x10 + i, static_cast<uint16_t>(0x1234 + i * 0x0101));

    DriverSide driver(kind);
    // The pseudo-terminal ignores the speed (and 115200 does not fit the
    // 16-bit field); the simulator paces the line.
    const uint16_t baudField = static_cast<uint16_t>(std::min(baud, 57600));
    // A time-out longer than the slowest reply's wire time, as a host would set.
    Require(driver.channel.ColdStart(driverLine.SlavePath().substr(5), 300, baudField) == SUCCESS,
            "ColdStart on the simulator failed");
    FloorClient floor;
    Require(floor.Open(floorLine.SlavePath()), "floor client: cannot open the simulator's pty");
    std::vector<uint8_t> reply(kind.reply.size());

    Require(driver.Exchange(), std::string("paced ") + kind.name + ": the driver's exchange failed");
    Require(floor.Exchange(kind.request, reply.data(), kind.header, kind.rest, 3000),
            std::string("paced ") + kind.name + ": the floor's exchange failed");
    CheckSameFrame(driver, kind);
    Require(std::memcmp(reply.data(), kind.reply.data(), reply.size()) == 0,
            "the simulator's reply differs from the responder's");

    for (int round = 0; round < rounds; ++round) {
        for (int side = 0; side < 2; ++side) {
            if ((side + round) % 2 == 0) {
                const uint64_t allocations = AllocationCount();
                const auto start = Clock::now();
                {
                    AllocationScope counting;
                    for (int i = 0; i < perRound; ++i)
                        result.failures += !driver.Exchange();
                }
                result.driverSeconds += Seconds(Clock::now() - start);
                result.allocations += AllocationCount() - allocations;
            } else {
                const auto start = Clock::now();
                for (int i = 0; i < perRound; ++i)
                    result.failures += !floor.Exchange(kind.request, reply.data(), kind.header, kind.rest, 3000);
                result.floorSeconds += Seconds(Clock::now() - start);
            }
        }
    }
    result.exchanges = rounds * perRound;
    driver.channel.CloseCom();
    floor.Close();
    return result;
}

// Exchanges per round on the paced line, each side: about half a second of
// line time, at least one.
int PacedPerRound(bool quick, int baud, const ExchangeKind& kind)
{
    const double seconds = (kind.request.size() + kind.reply.size()) * 10.0 / baud;
    const double budget = quick ? 0.1 : 0.5;
    return std::max(1, static_cast<int>(budget / seconds));
}

void ReportPaced(const std::vector<PacedResult>& paced)
{
    PrintHeading("4. Paced line: the simulator sends the reply at the baud rate (8N1, 10 bits a byte)");
    Table table({"baud", "exchange", "wire out + in", "floor", "turnaround (floor − reply wire)", "driver",
                 "driver added", "target", "result"});
    for (const PacedResult& p : paced) {
        const double added = p.DriverMs() - p.FloorMs();
        table.Row({std::to_string(p.baud), p.kind->name, Format("%.2f + %.2f ms", p.RequestWireMs(), p.ReplyWireMs()),
                   Format("%.2f ms", p.FloorMs()), Format("%.2f ms", p.FloorMs() - p.ReplyWireMs()),
                   Format("%.2f ms", p.DriverMs()), Format("%+.3f ms", added), "< 1 ms",
                   Verdict(added < 1.0 && p.failures == 0, Format("paced %d %s", p.baud, p.kind->name)) +
                       Failed(p.failures)});
    }
    table.Print();
}

void RunPacedSection(BenchRun& run)
{
    const int rounds = run.quick ? 2 : 4;
    const std::vector<ExchangeKind> kinds = Kinds();
    std::vector<PacedResult> paced;
    for (int baud : {9600, 115200})
        for (const ExchangeKind& kind : kinds) {
            if (run.quick && baud == 9600 && kind.count == 255)
                continue;  // a second per exchange: too long for a smoke run
            paced.push_back(MeasurePaced(baud, kind, rounds, PacedPerRound(run.quick, baud, kind)));
        }
    ReportPaced(paced);

    run.heap.push_back(HeapTally("paced line (all of 4)", paced));
}

const SectionRegistration PACED_SECTION({4, "4", RunPacedSection});

}  // namespace

}  // namespace kivbench
