#include "gate/line_owner.h"

#include <algorithm>

#include "common/tool_text.h"
#include "gate/gate_config.h"
#include "gate/service_notify.h"
#include "hosting/session.h"
#include "scan/block_planner.h"
#include "scan/scan_messages.h"

namespace kivgate {
namespace {

using kivhost::BlockOutcome;
using kivhost::ScanEngine;

// How often the wait between cycles looks for writes: a write waits at most
// this long for the line when no cycle is under way.
constexpr std::chrono::milliseconds WRITE_POLL{5};
const std::string PORT_LOST = "port-lost";

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
      scanLine_(session, reporter, line.TimeoutMs(), &port_),
      blockTags_(engine_.Plan().blocks.size()),
      readAt_(tags.size()),
      unread_(tags.size()),
      refusals_(tags.size()),
      maxAge_(settings.maxAge, std::chrono::milliseconds(settings.intervalMs))
{
    const auto now = std::chrono::system_clock::now();
    for (const kivhost::ReadBlock& block : engine_.Plan().blocks)
        stations_[block.start.station].since = now;
    for (size_t tag = 0; tag < engine_.Plan().places.size(); ++tag)
        blockTags_[engine_.Plan().places[tag].block].push_back(tag);
}

size_t LineOwner::LongestReply() const
{
    size_t longest = 0;
    for (const kivhost::ReadBlock& block : engine_.Plan().blocks)
        longest = std::max(longest, kivhost::ReplyBytes(block));
    return longest;
}

void LineOwner::Run(kivhost::StopToken& stop, uint64_t cycles)
{
    stop_ = &stop;
    const std::chrono::milliseconds interval(settings_.intervalMs);
    auto next = std::chrono::steady_clock::now();
    Publish(false);
    for (uint64_t done = 0; !stop.Requested() && (cycles == 0 || done < cycles); ++done) {
        WaitForCycle(next);
        if (stop.Requested())
            break;
        const auto start = std::chrono::steady_clock::now();
        maxAge_.CycleBegins(start, lastHealthy_);
        next = start + interval;
        kivhost::RunCycle(engine_, scanLine_, stop, [this](size_t block, const BlockOutcome& outcome) {
            AfterBlock(block, outcome);
            Publish(false);
            DoWrites();
        });
        const kivhost::CycleStats& cycle = engine_.Cycle();
        lastHealthy_ = cycle.complete && cycle.failures == 0;
        // What is served first, then what is logged: a client that reads
        // after an event is logged finds it served.
        Publish(true);
        LogEvents();
        DoWrites();
    }
    writes_.Close("kivgate is stopping: the write was not sent");
    LogDropped();
}

void LineOwner::WaitForCycle(std::chrono::steady_clock::time_point next)
{
    while (!stop_->Requested()) {
        if (port_.Lost() && port_.TryAgain()) {
            Publish(false);
            LogEvents();
        }
        // A station set aside is asked only when its retry is due.
        const auto now = std::chrono::steady_clock::now();
        const auto due = std::max(next, engine_.NextDue(now));
        if (!port_.Lost() && now >= due)
            return;
        DoWrites();
        if (settings_.notifier != nullptr)
            settings_.notifier->Alive();
        stop_->WaitUntil(
            now + (port_.Lost() ? WRITE_POLL : std::min<std::chrono::steady_clock::duration>(WRITE_POLL, due - now)));
    }
}

void LineOwner::AfterBlock(size_t block, const BlockOutcome& outcome)
{
    const int station = engine_.Plan().blocks[block].start.station;
    StationTally& tally = stations_[station];
    if (outcome.attempts > 0 && outcome.Good())
        tally.latencyUs.Add(static_cast<uint64_t>(outcome.ms * 1000));
    if (outcome.attempts > 0) {
        if (settings_.metrics)
            settings_.metrics->Exchange(station, outcome.Good() ? "good" : outcome.ReasonName(), outcome.ms / 1000);
        if (settings_.history)
            settings_.history->Record(station, outcome.Good(), outcome.ms, std::chrono::system_clock::now());
    }
    if (!outcome.Good()) {
        tally.lastReason = outcome.ReasonName();
        ++tally.failures[tally.lastReason];
    }
    const auto now = std::chrono::steady_clock::now();
    for (size_t tag : blockTags_[block]) {
        unread_[tag] = 0;
        if (engine_.States()[tag].quality == Quality::Good)
            readAt_[tag] = now;
    }
}

void LineOwner::LogEvents()
{
    // The engine's events are the cycle's: a new cycle starts a new list.
    if (engine_.Cycle().number != eventsCycle_) {
        eventsCycle_ = engine_.Cycle().number;
        eventsLogged_ = 0;
    }
    const std::vector<kivhost::ScanEvent>& events = engine_.Events();
    for (; eventsLogged_ < events.size(); ++eventsLogged_) {
        const kivhost::ScanEvent& event = events[eventsLogged_];
        const bool back =
            event.kind == kivhost::ScanEvent::Kind::StationBack || event.kind == kivhost::ScanEvent::Kind::BlockBack;
        log_.Log(back ? LogLevel::Info : LogLevel::Warn, kivhost::EventText(engine_, event));
    }
    for (const kivhost::PortEvent& event : port_.TakeEvents())
        log_.Log(event.kind == kivhost::PortEvent::Kind::Lost ? LogLevel::Warn : LogLevel::Info, event.message);
}

void LineOwner::Publish(bool cycleDone)
{
    auto snapshot = std::make_shared<Snapshot>();
    const kivhost::CycleStats& cycle = engine_.Cycle();
    snapshot->cycle = cycle.number;
    snapshot->time = std::chrono::system_clock::now();
    snapshot->maxAge = maxAge_.Value();
    // Without its port no station can be reached, whatever the stations' own
    // states (which the port's loss leaves alone); once it is back, a value
    // is down until it has been read again.
    snapshot->portLost = port_.Lost();
    if (snapshot->portLost)
        std::fill(unread_.begin(), unread_.end(), 1);
    const std::vector<kivhost::TagState>& states = engine_.States();
    for (size_t i = 0; i < states.size(); ++i)
        snapshot->tags.push_back(TagValue{states[i].values, unread_[i] != 0 ? Quality::Down : states[i].quality,
                                          snapshot->time, states[i].lastGood, readAt_[i]});

    // A station not heard since the port came back has every tag unread.
    std::map<int, bool> heard;
    for (size_t tag = 0; tag < tags_.size(); ++tag)
        heard[tags_[tag].tag.address.station] |= unread_[tag] == 0;
    std::map<int, std::string> downWhy;  // by station, for the writes refused
    for (const kivhost::StationState& station : engine_.Stations()) {
        const auto found = stations_.find(station.station);
        if (found == stations_.end())
            continue;
        StationTally& tally = found->second;
        const bool unheard = !heard[station.station];
        const bool down = station.down || unheard;
        if (down != tally.down) {
            tally.down = down;
            tally.since = station.down ? station.downSince : snapshot->time;
        }
        StationDiagnostics diagnostics;
        diagnostics.station = station.station;
        diagnostics.down = down;
        diagnostics.since = tally.since;
        diagnostics.portLost = unheard;
        diagnostics.lastReason = unheard ? PORT_LOST : tally.lastReason;
        diagnostics.failures.assign(tally.failures.begin(), tally.failures.end());
        if (!tally.latencyUs.Empty()) {
            diagnostics.p50Ms = static_cast<double>(tally.latencyUs.Percentile(50)) / 1000;
            diagnostics.p99Ms = static_cast<double>(tally.latencyUs.Percentile(99)) / 1000;
        }
        if (down)
            downWhy[station.station] = "station " + kivhost::StationText(station.station) + " is down: " +
                                       (snapshot->portLost ? "port " + line_.portGivenAs + " is lost"
                                        : unheard          ? "not heard since port " + line_.portGivenAs + " came back"
                                                           : diagnostics.lastReason);
        snapshot->stations.push_back(std::move(diagnostics));
    }
    for (size_t tag = 0; tag < tags_.size(); ++tag) {
        const auto found = downWhy.find(tags_[tag].tag.address.station);
        refusals_[tag] = found == downWhy.end() ? "" : found->second;
    }
    writes_.Refuse(refusals_);

    size_t down = 0;
    for (const StationDiagnostics& station : snapshot->stations)
        down += station.down ? 1 : 0;
    if (cycleDone && settings_.metrics)
        settings_.metrics->Cycle(cycle.ms / 1000);
    if (cycleDone || snapshot->portLost)
        log_.Status(StatusLine(LineFacts{line_.portGivenAs, snapshot->portLost, snapshot->stations.size() - down, down,
                                         cycle.number, cycle.ms},
                               log_.Facts()));
    if (settings_.notifier != nullptr)
        settings_.notifier->Progress(
            {snapshot->stations.size() - down, down, snapshot->portLost, writesDone_, writesFailed_}, cycleDone);
    snapshots_.Publish(std::move(snapshot));
}

}  // namespace kivgate
