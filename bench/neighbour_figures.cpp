#include "bench/neighbour_figures.h"

#include <poll.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "bench/bench_line.h"
#include "bench/driver_host.h"
#include "bench/exchange_kinds.h"
#include "bench/report.h"
#include "bench/thread_times.h"
#include "sim/plc_simulator.h"
#include "wire/pcon_frame.h"

namespace kivbench {

namespace {

using namespace std::chrono_literals;

constexpr double SHARE_TARGET = 0.99;  // of the healthy station's exchanges, good
constexpr int BAUD = 9600;
constexpr uint32_t TIMEOUT_UNITS = 30;  // 300 ms, above any reply's wire time here
constexpr uint16_t HEALTHY_VALUE = 0x1234;

struct Neighbour {
    const char* name;
    plcsim::Fault fault;  // of station 2
};

const Neighbour NEIGHBOURS[] = {
    {"refuses (nak)", {plcsim::FaultKind::Nak}},
    {"answers as station 1 (wrong=1)", {plcsim::FaultKind::WrongStation, 1.0, 1}},
    {"noise before its reply (noise=3)", {plcsim::FaultKind::Noise, 1.0, 3}},
    {"junk after its reply (extra=3)", {plcsim::FaultKind::Extra, 1.0, 3}},
};

plcsim::Options PacedLine()
{
    plcsim::Options options;
    options.stations = {1, 2};
    options.baud = BAUD;
    options.pace = true;
    options.maxRecords = 8;
    return options;
}

// A read of one word: the driver puts it in element 1.
HostIo ReadOf(int32_t station)
{
    HostIo io(0x10, 1);
    io.io.address.station = station;
    return io;
}

struct ShareResult {
    int healthy = 0;
    int good = 0;
    double Share() const { return healthy == 0 ? 0 : static_cast<double>(good) / healthy; }
};

// Station 1 read back to back, station 2 asked between every two of its reads.
ShareResult MeasureShare(const Neighbour& neighbour, int reads)
{
    plcsim::Simulator sim(PacedLine());
    sim.StartPty();
    sim.SetWord(1, 0x10, HEALTHY_VALUE);
    sim.SetFault(2, neighbour.fault);
    HostChannel channel;
    Require(channel.ColdStart(sim.SlavePath().substr(5), TIMEOUT_UNITS, BAUD) == SUCCESS,
            "neighbours: ColdStart on the simulator failed");
    ShareResult result;
    for (int i = 0; i < reads; ++i) {
        HostIo healthy = ReadOf(1);
        result.good += channel.Call(CMD_BLOCK_READ, &healthy.io) == SUCCESS && healthy.values[1] == HEALTHY_VALUE;
        ++result.healthy;
        if (i % 2 == 0) {
            HostIo faulty = ReadOf(2);
            (void)channel.Call(CMD_BLOCK_READ, &faulty.io);  // fails by its fault
        }
    }
    channel.CloseCom();
    return result;
}

struct AttemptCost {
    int attempts = 0;
    double withWaitSeconds = 0;     // the driver: header refused, the rest waited out
    double withoutWaitSeconds = 0;  // the header alone, then the next request at once
    double WithMs() const { return withWaitSeconds / attempts * 1000; }
    double WithoutMs() const { return withoutWaitSeconds / attempts * 1000; }
};

// Waits until nothing has come for 50 ms, throwing away what does: between
// the bare client's attempts, outside their time, so that each starts on a
// quiet line as the driver's do.
void DrainQuiet(int fd)
{
    uint8_t scratch[512];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 50) > 0 && read(fd, scratch, sizeof scratch) > 0) {
    }
}

AttemptCost MeasureAttemptCost(int exchanges)
{
    plcsim::Simulator driverLine(PacedLine());
    plcsim::Simulator bareLine(PacedLine());
    driverLine.StartPty();
    bareLine.StartPty();
    for (plcsim::Simulator* sim : {&driverLine, &bareLine})
        sim->SetFault(2, {plcsim::FaultKind::Nak});
    HostChannel channel;
    Require(channel.ColdStart(driverLine.SlavePath().substr(5), TIMEOUT_UNITS, BAUD) == SUCCESS,
            "attempt cost: ColdStart on the simulator failed");
    FloorClient bare;
    Require(bare.Open(bareLine.SlavePath()), "attempt cost: cannot open the simulator's pty");
    HostIo refused = ReadOf(2);
    const std::string request = Framed("02RW001001");
    uint8_t header[8];

    AttemptCost cost;
    for (int i = 0; i < exchanges; ++i) {
        auto start = Clock::now();
        Require(channel.Call(CMD_BLOCK_READ, &refused.io) == RECOVERY_ERROR, "attempt cost: a refusal was taken");
        cost.withWaitSeconds += Seconds(Clock::now() - start);
        for (int attempt = 0; attempt < kivhost::ATTEMPTS_PER_EXCHANGE; ++attempt) {
            start = Clock::now();
            (void)bare.Exchange(request, header, kivhost::READ_REPLY_HEADER, 0, 300);
            cost.withoutWaitSeconds += Seconds(Clock::now() - start);
            DrainQuiet(bare.Fd());
        }
        cost.attempts += kivhost::ATTEMPTS_PER_EXCHANGE;
    }
    channel.CloseCom();
    bare.Close();
    return cost;
}

}  // namespace

void RunNeighbourFigures(const BenchRun& run)
{
    const int reads = run.quick ? 40 : 300;
    PrintHeading("10. A healthy station beside a faulty one (plcsim paced at 9600 baud, station 2 asked between "
                 "every two reads of station 1)");
    Table shares({"station 2", "station 1 reads", "good", "share", "target", "result"});
    for (const Neighbour& neighbour : NEIGHBOURS) {
        const ShareResult r = MeasureShare(neighbour, reads);
        shares.Row({neighbour.name, std::to_string(r.healthy), std::to_string(r.good), Format("%.3f", r.Share()),
                    Format(">= %.2f", SHARE_TARGET),
                    Verdict(r.Share() >= SHARE_TARGET, std::string("healthy beside ") + neighbour.name)});
    }
    shares.Print();

    const AttemptCost cost = MeasureAttemptCost(run.quick ? 5 : 25);
    PrintHeading("10. A failed attempt's cost: a refused 1-word read at 9600 baud (13-character reply)");
    Table table({"attempt", "per attempt", "wire time of the reply"});
    table.Row({"driver: the rest waited out, then 3.5 characters of quiet", Format("%.2f ms", cost.WithMs()),
               Format("%.2f ms", 13 * 10.0 / BAUD * 1000)});
    table.Row({"header only, the next request at once (the rest then meets it)", Format("%.2f ms", cost.WithoutMs()),
               Format("%.2f ms", kivhost::READ_REPLY_HEADER * 10.0 / BAUD * 1000)});
    table.Print();
    PrintParagraph(Format("The wait costs %.2f ms an attempt: the rest of the refused reply and the gap, time the "
                          "line was not free for anyone else anyway.",
                          cost.WithMs() - cost.WithoutMs()));
}

}  // namespace kivbench
