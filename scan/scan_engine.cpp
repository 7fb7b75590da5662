#include "scan/scan_engine.h"

#include <algorithm>

#include "common/tool_text.h"
#include "wire/address_area.h"

namespace kivhost {
namespace {

static_assert(NO_GROUPING == -1, "--max-gap -1 turns grouping off");

double Ms(std::chrono::steady_clock::duration span)
{
    return std::chrono::duration<double, std::milli>(span).count();
}

double Seconds(std::chrono::steady_clock::duration span)
{
    return std::chrono::duration<double>(span).count();
}

}  // namespace

size_t ReplyBytes(const ReadBlock& block)
{
    PconRequest request;
    request.valid = true;
    request.command = FrameCommand::Read;
    request.operand = static_cast<char>(block.start.operand);
    request.count = block.count;
    return request.ReplyLength();
}

std::string BlockName(const ReadBlock& block)
{
    return ElementAddress(block.start, 0) + " x " + std::to_string(block.count);
}

ScanMoment ScanMoment::Now()
{
    return {std::chrono::steady_clock::now(), std::chrono::system_clock::now()};
}

const char* QualityName(Quality quality)
{
    switch (quality) {
    case Quality::Good: return "good";
    case Quality::Failed: return "failed";
    case Quality::Down: return "down";
    case Quality::Rejected: return "rejected";
    case Quality::BadData: return "bad-data";
    case Quality::Stale: return "stale";
    case Quality::None: break;
    }
    return "";
}

bool IsSilence(Outcome reason)
{
    return reason == Outcome::NoReply || reason == Outcome::Short || reason == Outcome::NotSent;
}

ScanEngine::ScanEngine(std::vector<Tag> tags, ReadPlan plan, ScanSettings settings)
    : tags_(std::move(tags)),
      plan_(std::move(plan)),
      settings_(settings),
      states_(tags_.size()),
      blocks_(plan_.blocks.size()),
      blockTags_(plan_.blocks.size()),
      asked_(plan_.blocks.size())
{
    for (const ReadBlock& block : plan_.blocks) {
        const auto known = std::find_if(stations_.begin(), stations_.end(),
                                        [&](const StationState& s) { return s.station == block.start.station; });
        if (known == stations_.end()) {
            StationState station;
            station.station = block.start.station;
            stations_.push_back(station);
            stationIndex_.push_back(stations_.size() - 1);
        } else {
            stationIndex_.push_back(static_cast<size_t>(known - stations_.begin()));
        }
    }
    for (size_t tag = 0; tag < plan_.places.size(); ++tag)
        blockTags_[plan_.places[tag].block].push_back(tag);
    probing_.assign(stations_.size(), 0);
}

StationState& ScanEngine::StationOf(size_t block)
{
    return stations_[stationIndex_[block]];
}

void ScanEngine::BeginCycle(const ScanMoment& now)
{
    const uint64_t number = cycle_.number + 1;
    cycle_ = CycleStats{};
    cycle_.number = number;
    cycle_.start = now.wall;
    cycleStart_ = now.steady;
    next_ = 0;
    std::fill(asked_.begin(), asked_.end(), 0);
    std::fill(probing_.begin(), probing_.end(), 0);
    events_.clear();
}

std::optional<size_t> ScanEngine::NextBlock(const ScanMoment& now)
{
    while (next_ < plan_.blocks.size()) {
        const size_t block = next_++;
        const StationState& station = StationOf(block);
        if (station.down) {
            // One retry a cycle at most: if it failed, the rest wait too.
            char& probing = probing_[stationIndex_[block]];
            if (probing != 0 || now.steady < station.nextRetry)
                continue;
            probing = 1;
            return block;
        }
        if (blocks_[block].down && now.steady < blocks_[block].nextRetry)
            continue;
        return block;
    }
    return std::nullopt;
}

void ScanEngine::Record(size_t block, const BlockOutcome& outcome, const ScanMoment& now)
{
    StationState& station = StationOf(block);
    BlockState& state = blocks_[block];
    const bool stationRetry = station.down;
    asked_[block] = 1;
    ++cycle_.exchanges;
    ++exchanges_;
    if (stationRetry || state.down)
        ++cycle_.retries;

    if (outcome.result == SUCCESS) {
        if (station.down) {
            station.down = false;
            events_.push_back({ScanEvent::Kind::StationBack, now.wall, station.station, block, Outcome::Good,
                               outcome.attempts, Seconds(now.steady - station.downSteady)});
        }
        if (state.down) {
            state.down = false;
            events_.push_back({ScanEvent::Kind::BlockBack, now.wall, station.station, block, Outcome::Good,
                               outcome.attempts, Seconds(now.steady - state.downSteady)});
        }
        if (outcome.checksumUnused)
            events_.push_back({ScanEvent::Kind::ChecksumUnused, now.wall, station.station, block, Outcome::Good,
                               outcome.attempts, 0});
        // The station answers; a damaged or late reply is not set aside, only not good.
        if (!outcome.Good()) {
            MarkNotGood(block, Quality::BadData, outcome);
            return;
        }
        // A retry after seconds set aside follows the time-out of the last
        // one, long drained: only a time-out within this exchange counts.
        const bool late = outcome.possiblyLate && !(stationRetry && outcome.attempts <= 1);
        for (size_t tag : blockTags_[block]) {
            const TagPlace& place = plan_.places[tag];
            TagState& tagState = states_[tag];
            tagState.values.clear();
            for (int32_t i = 0; i < place.count; ++i) {
                const auto at = static_cast<size_t>(place.offset + i);
                const uint16_t element = at < outcome.elements.size() ? outcome.elements[at] : 0;
                tagState.values.push_back(place.bit != NO_BIT ? static_cast<uint16_t>((element >> place.bit) & 1)
                                                              : element);
            }
            tagState.quality = Quality::Good;
            tagState.lastGood = now.wall;
            tagState.reason = Outcome::Good;
            tagState.doubt = Doubt::None;
            tagState.attempts = outcome.attempts;
            tagState.late = late;
            tagState.checksum = outcome.checksumSuspect;
            tagState.message.clear();
            ++tagState.good;
            tagState.retried += outcome.attempts > 1 ? 1 : 0;
        }
        return;
    }

    MarkNotGood(block, outcome.result == REJECTED ? Quality::Rejected : Quality::Failed, outcome);
    // A refusal by the driver costs no time on the line: asked again next cycle.
    if (outcome.result != REJECTED)
        SetAside(block, outcome, now, stationRetry);
}

void ScanEngine::MarkNotGood(size_t block, Quality quality, const BlockOutcome& outcome)
{
    ++cycle_.failures;
    ++failures_;
    for (size_t tag : blockTags_[block]) {
        TagState& tagState = states_[tag];
        tagState.quality = quality;
        tagState.reason = quality == Quality::Failed ? outcome.reason : Outcome::Good;
        tagState.doubt = quality == Quality::BadData ? outcome.doubt : Doubt::None;
        tagState.attempts = outcome.attempts;
        tagState.late = false;
        tagState.checksum = false;
        tagState.message = outcome.message;
        ++tagState.failed;
    }
}

void ScanEngine::SetAside(size_t block, const BlockOutcome& outcome, const ScanMoment& now, bool probe)
{
    StationState& station = StationOf(block);
    BlockState& state = blocks_[block];
    if (IsSilence(outcome.reason)) {
        if (!station.down) {
            station.down = true;
            station.downSince = now.wall;
            station.downSteady = now.steady;
        }
        station.nextRetry = now.steady + settings_.retryDown;
        station.reason = outcome.reason;
        station.attempts = outcome.attempts;
        events_.push_back({probe ? ScanEvent::Kind::StillDown : ScanEvent::Kind::StationDown, now.wall, station.station,
                           block, outcome.reason, outcome.attempts, 0});
        return;
    }
    // The station answers, but not this block as asked.
    if (station.down) {
        station.down = false;
        events_.push_back({ScanEvent::Kind::StationBack, now.wall, station.station, block, outcome.reason,
                           outcome.attempts, Seconds(now.steady - station.downSteady)});
    }
    if (!state.down) {
        state.downSteady = now.steady;
        events_.push_back(
            {ScanEvent::Kind::BlockRefused, now.wall, station.station, block, outcome.reason, outcome.attempts, 0});
    }
    state.down = true;
    state.nextRetry = now.steady + settings_.retryDown;
    state.reason = outcome.reason;
    state.attempts = outcome.attempts;
}

void ScanEngine::EndCycle(const ScanMoment& now, bool complete)
{
    cycle_.ms = Ms(now.steady - cycleStart_);
    cycle_.complete = complete;
    for (size_t block = 0; block < plan_.blocks.size(); ++block) {
        if (asked_[block] != 0)
            continue;
        const StationState& station = StationOf(block);
        const BlockState& state = blocks_[block];
        if (!station.down && !state.down)
            continue;  // not reached: the scan was stopped
        for (size_t tag : blockTags_[block]) {
            TagState& tagState = states_[tag];
            tagState.quality = Quality::Down;
            tagState.reason = station.down ? station.reason : state.reason;
            tagState.attempts = 0;
            tagState.late = false;
            tagState.checksum = false;
        }
    }
    if (complete) {
        ++cycles_;
        totalMs_ += cycle_.ms;
        maxMs_ = std::max(maxMs_, cycle_.ms);
    }
}

SteadyTime ScanEngine::NextDue(SteadyTime now) const
{
    std::optional<SteadyTime> due;
    for (size_t block = 0; block < plan_.blocks.size(); ++block) {
        const StationState& station = stations_[stationIndex_[block]];
        const BlockState& state = blocks_[block];
        if (!station.down && !state.down)
            return now;
        const SteadyTime retry = station.down ? station.nextRetry : state.nextRetry;
        due = due ? std::min(*due, retry) : retry;
    }
    return due.value_or(now);
}

}  // namespace kivhost
