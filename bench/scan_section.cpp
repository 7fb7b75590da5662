// Section 8: kivhost's scan of a tag list, 120 tags over three stations on
// one line paced by the simulator. What grouping the tags into block reads
// saves against a read per tag, how close a cycle comes to the time its
// frames take on the wire, and what a silent station costs the others.
//
// The scan is kivhost's own (the planner, the engine and the driver's
// calls through kivhost's session), without its output. The simulator
// paces replies at the baud rate; a request, which it takes as fast as it
// comes, is given its wire time as a delay before the reply (every read
// request is 14 characters), so a cycle takes what it would on a line.
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_line.h"
#include "bench/exchange_kinds.h"
#include "bench/report.h"
#include "bench/section.h"
#include "fieldkit/tag_loading.h"
#include "hosting/driver_library.h"
#include "hosting/driver_output.h"
#include "hosting/session.h"
#include "scan/block_planner.h"
#include "scan/scan_line.h"
#include "scan/tag_list.h"
#include "sim/plc_simulator.h"

namespace kivbench {

namespace {

constexpr int STATIONS = 3;
constexpr int SILENT_STATION = 3;
constexpr uint32_t TIMEOUT_UNITS = 30;  // 300 ms: above the slowest reply here, 26 words at 9600
constexpr auto RETRY_DOWN = std::chrono::seconds(5);

// Per station, 40 tags as a commissioning list has them: eight measured
// words in two runs of four with a gap, sixteen alarm bits of two status
// words, sixteen inputs (B) in two runs with a gap.
std::string TagListCsv()
{
    std::string csv = "name,address,count,type,comment\n";
    for (int s = 1; s <= STATIONS; ++s) {
        const std::string station = Format("%02X", static_cast<unsigned>(s));
        for (int i = 0; i < 8; ++i) {
            const int number = 0x100 + i + (i >= 4 ? 2 : 0);
            csv += Format("s%d value %d,", s, i) + station + Format("W%04X\n", static_cast<unsigned>(number));
        }
        for (int i = 0; i < 16; ++i)
            csv += Format("s%d alarm %d,", s, i) + station +
                   Format("W%04X%X\n", static_cast<unsigned>(0x10C + i / 8), static_cast<unsigned>(i % 8));
        for (int i = 0; i < 16; ++i) {
            const int number = 0x200 + i + (i >= 8 ? 4 : 0);
            csv += Format("s%d input %d,", s, i) + station + Format("B%04X\n", static_cast<unsigned>(number));
        }
    }
    return csv;
}

std::vector<kivhost::Tag> LoadTags(kivhost::Session& session, int stations)
{
    kivhost::TagFile file = kivhost::ParseTagFile(TagListCsv(), "bench", kivhost::SessionTagValidator(session));
    Require(file.Ok(), "the benchmark's tag list: " + (file.errors.empty() ? "" : file.errors[0].Message()));
    std::vector<kivhost::Tag> tags;
    for (kivhost::Tag& tag : file.tags)
        if (tag.address.station <= stations)
            tags.push_back(std::move(tag));
    return tags;
}

// One way of scanning the list, its cycles timed.
struct ScanCase {
    const char* name;
    std::unique_ptr<kivhost::ScanEngine> engine;
    std::unique_ptr<kivhost::ExchangeReporter> reporter;
    std::unique_ptr<kivhost::ScanLine> line;
    bool silent = false;         // station 3 is silenced while this one runs
    std::vector<double> cycles;  // ms, of whole cycles without a retry
    std::vector<double> retryCycles;
    uint64_t failures = 0;

    double Mean() const
    {
        double sum = 0;
        for (double ms : cycles)
            sum += ms;
        return cycles.empty() ? 0 : sum / static_cast<double>(cycles.size());
    }
    double RetryMean() const
    {
        double sum = 0;
        for (double ms : retryCycles)
            sum += ms;
        return retryCycles.empty() ? 0 : sum / static_cast<double>(retryCycles.size());
    }
    size_t Exchanges() const { return engine->Plan().blocks.size(); }
};

struct ScanResult {
    int baud = 0;
    size_t tags = 0;
    double wireMs = 0;  // of the grouped plan's frames, request and reply
    ScanCase grouped;
    ScanCase single;
    ScanCase healthyTwo;  // stations 1 and 2 only
    ScanCase silent;      // all three, station 3 silent
};

ScanCase MakeCase(const char* name, kivhost::Session& session, std::vector<kivhost::Tag> tags, int maxGap, bool silent)
{
    ScanCase c;
    c.name = name;
    kivhost::ScanSettings settings;
    settings.retryDown = RETRY_DOWN;
    kivhost::ReadPlan plan = kivhost::PlanReads(tags, maxGap);
    c.engine = std::make_unique<kivhost::ScanEngine>(std::move(tags), std::move(plan), settings);
    c.reporter = std::make_unique<kivhost::ExchangeReporter>();
    c.line = std::make_unique<kivhost::ScanLine>(session, *c.reporter, TIMEOUT_UNITS * 10);
    c.silent = silent;
    return c;
}

void RunCycles(ScanCase& c, plcsim::Simulator& sim, int baud, int cycles, bool measure)
{
    if (c.silent) {
        plcsim::Fault silence;
        silence.kind = plcsim::FaultKind::Silent;
        sim.SetFault(SILENT_STATION, silence);
    }
    kivhost::StopToken never;
    for (int i = 0; i < cycles; ++i) {
        kivhost::RunCycle(*c.engine, *c.line, never);
        const kivhost::CycleStats& cycle = c.engine->Cycle();
        if (!measure)
            continue;
        // The failure that sets station 3 aside, and its retries, are the
        // cycles the others pay for it; they are counted apart.
        const bool stationFailed = c.silent && cycle.failures > 0;
        if (cycle.retries > 0 || stationFailed)
            c.retryCycles.push_back(cycle.ms);
        else
            c.cycles.push_back(cycle.ms);
        c.failures += static_cast<uint64_t>(cycle.failures) - (stationFailed ? cycle.failures : 0);
    }
    if (c.silent) {
        sim.ClearFaults(SILENT_STATION);
        sim.SetFault(SILENT_STATION, RequestTime(baud));
    }
}

ScanResult MeasureScan(kivhost::Session& session, int baud, int rounds)
{
    plcsim::Options options;
    options.stations = {1, 2, 3};
    options.baud = baud;
    options.pace = true;
    options.maxRecords = 8;
    plcsim::Simulator sim(options);
    sim.StartPty();
    for (int s = 1; s <= STATIONS; ++s)
        sim.SetFault(s, RequestTime(baud));

    kivhost::LineOptions line;
    line.port = sim.SlavePath();
    if (line.port.size() > 11)
        line.port = line.port.substr(5);  // pts/N, looked for under /dev
    line.baud = static_cast<uint16_t>(baud);
    line.timeoutUnits = TIMEOUT_UNITS;
    Require(session.ColdStart(line, true) == SUCCESS, "scan: ColdStart on the simulator failed");

    ScanResult result;
    result.baud = baud;
    const std::vector<kivhost::Tag> all = LoadTags(session, STATIONS);
    result.tags = all.size();
    result.grouped = MakeCase("grouped", session, all, kivhost::DEFAULT_MAX_GAP, false);
    result.single = MakeCase("per tag", session, all, kivhost::NO_GROUPING, false);
    result.healthyTwo = MakeCase("stations 1 and 2", session, LoadTags(session, 2), kivhost::DEFAULT_MAX_GAP, false);
    result.silent = MakeCase("station 3 silent", session, all, kivhost::DEFAULT_MAX_GAP, true);
    for (const kivhost::ReadBlock& block : result.grouped.engine->Plan().blocks)
        result.wireMs += kivhost::WireMs(kivhost::READ_REQUEST_BYTES + kivhost::ReplyBytes(block), line);

    ScanCase* cases[] = {&result.grouped, &result.single, &result.healthyTwo, &result.silent};
    for (ScanCase* c : cases)
        RunCycles(*c, sim, baud, 1, false);  // first use of every path
    // Rounds, each case first in turn; the long per-tag cycle once a round.
    for (int round = 0; round < rounds; ++round)
        for (size_t k = 0; k < std::size(cases); ++k) {
            ScanCase& c = *cases[(k + static_cast<size_t>(round)) % std::size(cases)];
            RunCycles(c, sim, baud, &c == &result.single ? 1 : 3, true);
        }
    session.ColdStart(line, false);  // lets the port go
    sim.Stop();
    return result;
}

void ReportScan(const std::vector<ScanResult>& results)
{
    PrintHeading("8. kivhost scan: 120 tags over 3 stations, replies paced at the baud rate (8N1), requests given "
                 "their wire time");
    Table grouping({"baud", "exchanges grouped / per tag", "grouped cycle", "per-tag cycle", "per tag / grouped",
                    "target", "result"});
    for (const ScanResult& r : results)
        grouping.Row({std::to_string(r.baud), Format("%zu / %zu", r.grouped.Exchanges(), r.single.Exchanges()),
                      Format("%.1f ms", r.grouped.Mean()), Format("%.1f ms", r.single.Mean()),
                      Format("%.2f×", r.single.Mean() / r.grouped.Mean()), "≥ 8×",
                      Verdict(r.single.Mean() >= 8 * r.grouped.Mean() && r.grouped.failures + r.single.failures == 0,
                              Format("scan grouping at %d baud", r.baud)) +
                          Failed(r.grouped.failures + r.single.failures)});
    grouping.Print();

    PrintParagraph("The grouped cycle against the time its frames take on the wire (request + reply characters × "
                   "10 / baud, summed over the blocks):");
    Table wire({"baud", "blocks", "wire", "grouped cycle", "cycle / wire", "target", "result"});
    for (const ScanResult& r : results)
        wire.Row({std::to_string(r.baud), std::to_string(r.grouped.Exchanges()), Format("%.1f ms", r.wireMs),
                  Format("%.1f ms", r.grouped.Mean()), Format("%.3f", r.grouped.Mean() / r.wireMs), "≤ 1.15",
                  Verdict(r.grouped.Mean() <= 1.15 * r.wireMs, Format("scan cycle against wire at %d baud", r.baud))});
    wire.Print();

    PrintParagraph(Format("Station 3 silent (time-out %u ms, retried every %lld s): the cycles without a retry, "
                          "against the healthy stations 1 and 2 scanned alone:",
                          TIMEOUT_UNITS * 10, static_cast<long long>(RETRY_DOWN.count())));
    Table silent({"baud", "stations 1 + 2 healthy", "all 3 healthy", "station 3 silent", "silent / 1 + 2 healthy",
                  "target", "result", "cycles with the failure or a retry"});
    for (const ScanResult& r : results)
        silent.Row({std::to_string(r.baud), Format("%.1f ms", r.healthyTwo.Mean()), Format("%.1f ms", r.grouped.Mean()),
                    Format("%.1f ms", r.silent.Mean()), Format("%.3f", r.silent.Mean() / r.healthyTwo.Mean()), "≤ 1.2",
                    Verdict(r.silent.Mean() <= 1.2 * r.healthyTwo.Mean() && r.silent.failures == 0,
                            Format("silent station at %d baud", r.baud)) +
                        Failed(r.silent.failures),
                    Format("%zu, %.0f ms each", r.silent.retryCycles.size(), r.silent.RetryMean())});
    silent.Print();
}

void RunScanSection(BenchRun& run)
{
    // kivhost's session sets descriptor 1 aside for the driver's traces, as
    // kivhost does; it is put back for the sections after this one.
    const int traces = dup(1);
    Require(traces >= 0, "scan: dup");
    std::string error;
    kivhost::DriverOutput output;
    Require(output.Start(&error), "scan: " + error);
    const auto library = kivhost::DriverLibrary::Load(kivhost::DefaultLibraryPath(), &error);
    Require(library != nullptr, "scan: " + error);

    std::vector<ScanResult> results;
    {
        kivhost::Session session(library->Entry(), output);
        DriverInfoBlock info{};
        Require(session.GetInfo(&info) == SUCCESS, "scan: GetKivInfo failed");
        const int rounds = run.quick ? 1 : 4;
        for (int baud : {9600, 19200})
            results.push_back(MeasureScan(session, baud, rounds));
        // CloseCom, not EndKiv: the driver is one per process, and an ended
        // driver would answer every later section's calls with nothing done.
        DriverRequest close{};
        close.channel = &session.Channel();
        close.code = CMD_CLOSE_COM;
        (void)library->Entry()(&close);  // the figures are taken; a failed close changes none
    }
    dup2(traces, 1);
    close(traces);
    ReportScan(results);
}

const SectionRegistration SCAN_SECTION({8, "8", RunScanSection});

}  // namespace

}  // namespace kivbench
