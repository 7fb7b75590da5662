#include "line_owner.h"

#include <algorithm>
#include <thread>

#include "address_area.h"
#include "block_planner.h"
#include "exchange_text.h"
#include "gate_config.h"
#include "scan_messages.h"
#include "session.h"
#include "tool_text.h"

namespace kivgate {
namespace {

using kivhost::BlockOutcome;
using kivhost::ScanEngine;

// How often the wait between cycles looks for writes: a write waits at most
// this long for the line when no cycle is under way.
constexpr std::chrono::milliseconds WRITE_POLL{5};

kivhost::ScanSettings Settings(const LineOwnerSettings& settings)
{
    kivhost::ScanSettings scan;
    scan.retryDown = settings.retryDown;
    return scan;
}

}  // namespace

LineOwner::LineOwner(kivhost::Session& session, kivhost::ExchangeReporter& reporter, const kivhost::LineOptions& line,
                     const std::vector<GateTag>& tags, const LineOwnerSettings& settings, SnapshotStore& snapshots,
                     WriteQueue& writes, Logger log)
    : session_(session),
      reporter_(reporter),
      line_(line),
      tags_(tags),
      settings_(settings),
      snapshots_(snapshots),
      writes_(writes),
      log_(std::move(log)),
      engine_(ScanTags(tags), kivhost::PlanReads(ScanTags(tags), settings.maxGap), Settings(settings)),
      port_(session, line, settings.retryDown),
      scanLine_(session, reporter, line.TimeoutMs(), &port_)
{
    const auto now = std::chrono::system_clock::now();
    for (const kivhost::ReadBlock& block : engine_.Plan().blocks)
        stations_[block.start.station].since = now;
}

size_t LineOwner::LongestReply() const
{
    size_t longest = 0;
    for (const kivhost::ReadBlock& block : engine_.Plan().blocks)
        longest = std::max(longest, kivhost::ReplyBytes(block));
    return longest;
}

void LineOwner::Run(const volatile std::sig_atomic_t* stop, volatile std::sig_atomic_t* busy, uint64_t cycles)
{
    busy_ = busy;
    const std::chrono::milliseconds interval(settings_.intervalMs);
    auto next = std::chrono::steady_clock::now();
    for (uint64_t done = 0; *stop == 0 && (cycles == 0 || done < cycles); ++done) {
        // Until the cycle is due (a station set aside is asked only when its retry is), writes go at once.
        const auto due = std::max(next, engine_.NextDue(std::chrono::steady_clock::now()));
        while (*stop == 0 && std::chrono::steady_clock::now() < due) {
            DoWrites(stop, busy);
            std::this_thread::sleep_for(
                std::min<std::chrono::steady_clock::duration>(WRITE_POLL, due - std::chrono::steady_clock::now()));
        }
        if (*stop != 0)
            break;
        if (port_.Lost() && !port_.Ready())
            break;
        next = std::chrono::steady_clock::now() + interval;
        kivhost::RunCycle(engine_, scanLine_, stop, busy,
                          [this, stop, busy](size_t block, const BlockOutcome& outcome) {
                              AfterBlock(block, outcome);
                              Publish(false);
                              DoWrites(stop, busy);
                          });
        for (const kivhost::ScanEvent& event : engine_.Events())
            log_(kivhost::EventText(engine_, event));
        for (const kivhost::PortEvent& event : port_.TakeEvents())
            log_(event.message);
        Publish(true);
        DoWrites(stop, busy);
    }
    writes_.Close("kivgate is stopping: the write was not sent");
}

void LineOwner::AfterBlock(size_t block, const BlockOutcome& outcome)
{
    StationTally& tally = stations_[engine_.Plan().blocks[block].start.station];
    if (outcome.attempts > 0 && outcome.Good())
        tally.latencyUs.Add(static_cast<uint64_t>(outcome.ms * 1000));
    if (!outcome.Good()) {
        tally.lastReason = outcome.ReasonName();
        ++tally.failures[tally.lastReason];
    }
}

void LineOwner::DoWrites(const volatile std::sig_atomic_t* stop, volatile std::sig_atomic_t* busy)
{
    // Those queued now: a client that keeps writing cannot hold the scan up.
    for (int left = 16; left > 0 && *stop == 0 && !port_.Lost(); --left) {
        std::optional<WriteQueue::Pending> pending = writes_.Take();
        if (!pending)
            return;
        if (busy != nullptr)
            *busy = 1;
        WriteResult result = Write(pending->request);
        if (busy != nullptr)
            *busy = 0;
        const std::string& name = pending->request.tag < tags_.size() ? tags_[pending->request.tag].tag.name : "?";
        log_("write to " + name + " from " + pending->request.from + (result.done ? " done: " : " failed: ") +
             result.message);
        pending->result.set_value(std::move(result));
    }
}

WriteResult LineOwner::Write(const WriteRequest& request)
{
    if (request.tag >= tags_.size())
        return {false, "no such tag"};
    const GateTag& gate = tags_[request.tag];
    const kivhost::Tag& tag = gate.tag;
    if (request.values.empty() || request.offset + request.values.size() > static_cast<size_t>(tag.count))
        return {false, "the values do not fit the tag's " + std::to_string(tag.count) + " elements"};
    if (tag.kind == kivhost::ValueKind::Bit)
        for (uint16_t value : request.values)
            if (value > 1)
                return {false, "a bit is 0 or 1, not " + std::to_string(value)};
    DriverAddress address = tag.address;
    if (request.offset > 0)
        address.number = kivhost::ElementNumber(address.operand,
                                                kivhost::ElementIndex(address) + static_cast<int32_t>(request.offset));
    const std::string text = kivhost::ElementAddress(address, 0);
    const int32_t result = session_.Write(address, request.values);
    const kivhost::ExchangeReport report = reporter_.Report(session_.LastExchanges());
    port_.Lost(report);
    // Acknowledged by another station, or doubted, is not done.
    if (!kivhost::ExchangeGood(result, report))
        return {false, kivhost::ExchangeFailure(address, text, true, result, report, line_.TimeoutMs())};
    return {true, std::to_string(request.values.size()) + (request.values.size() == 1 ? " value" : " values") + " to " +
                      text + " acknowledged in " + kivhost::Ms(session_.LastMs())};
}

void LineOwner::Publish(bool cycleDone)
{
    auto snapshot = std::make_shared<Snapshot>();
    const kivhost::CycleStats& cycle = engine_.Cycle();
    snapshot->cycle = cycle.number;
    snapshot->time = std::chrono::system_clock::now();
    // Without its port no station can be reached: no value is fresh, whatever
    // the stations' own states (which the port's loss leaves alone).
    const bool portLost = port_.Lost();
    snapshot->portLost = portLost;
    for (const kivhost::TagState& state : engine_.States())
        snapshot->tags.push_back(
            TagValue{state.values, portLost ? Quality::Down : state.quality, snapshot->time, state.lastGood});
    for (const kivhost::StationState& station : engine_.Stations()) {
        const auto found = stations_.find(station.station);
        if (found == stations_.end())
            continue;
        StationTally& tally = found->second;
        if (station.down != tally.down) {
            tally.down = station.down;
            tally.since = station.down ? station.downSince : snapshot->time;
        }
        StationDiagnostics diagnostics;
        diagnostics.station = station.station;
        diagnostics.down = station.down;
        diagnostics.since = tally.since;
        diagnostics.lastReason = tally.lastReason;
        diagnostics.failures.assign(tally.failures.begin(), tally.failures.end());
        if (!tally.latencyUs.Empty()) {
            diagnostics.p50Ms = static_cast<double>(tally.latencyUs.Percentile(50)) / 1000;
            diagnostics.p99Ms = static_cast<double>(tally.latencyUs.Percentile(99)) / 1000;
        }
        snapshot->stations.push_back(std::move(diagnostics));
    }
    size_t down = 0;
    for (const StationDiagnostics& station : snapshot->stations)
        down += station.down ? 1 : 0;
    if (cycleDone)
        log_.Status("cycle " + std::to_string(cycle.number) + ", " + kivhost::Printf("%.0f ms", cycle.ms) + ": " +
                    std::to_string(snapshot->stations.size() - down) + " stations good, " + std::to_string(down) +
                    " down");
    snapshots_.Publish(std::move(snapshot));
}

}  // namespace kivgate
