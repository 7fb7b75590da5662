// The scan: a tag list read in planned blocks, cycle after cycle, with what
// each tag came to. A station that stops answering is set aside and asked
// again only every retryDown, so it does not stretch the other stations'
// cycle with its time-outs; a block that a station refuses (it answers, but
// not acknowledged, from another station or garbled) is set aside alone.
//
// ScanEngine decides, from the times it is handed, which block comes next
// and what the results make of the tags and stations: no line, no clock of
// its own. ScanLine (scan_line.h) reads the blocks through the driver.
#ifndef DAVODEV_KIVHOST_SCAN_ENGINE_H
#define DAVODEV_KIVHOST_SCAN_ENGINE_H

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/exchange_report.h"
#include "common/line_settings.h"
#include "scan/block_planner.h"
#include "scan/scan_options.h"
#include "scan/tag_list.h"
#include "wire/pcon_frame.h"

namespace kivhost {

size_t ReplyBytes(const ReadBlock& block);
// "01W0010 x 12"
std::string BlockName(const ReadBlock& block);

using SteadyTime = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

// Now, as the engine is told it: the steady clock decides, the wall clock is
// what the logs show.
struct ScanMoment {
    SteadyTime steady;
    WallTime wall;
    static ScanMoment Now();
};

// What one read of a block came to.
struct BlockOutcome {
    int32_t result = SUCCESS;        // the driver's
    std::vector<uint16_t> elements;  // the block's, when the read succeeded
    // From the trace: the verdict of all attempts (Good on success) and the
    // attempts made; none when nothing was sent.
    Outcome reason = Outcome::Good;
    int attempts = 0;
    bool possiblyLate = false;     // a reply came after a time-out on its station
    bool checksumSuspect = false;  // the reply's checksum does not follow the rule
    Doubt doubt = Doubt::None;     // the driver took it, kivhost does not: damaged, or another request's
    bool checksumUnused = false;   // the station's replies never keep the rule: say so once
    int answeringStation = -1;     // the station the verdict's reply named, -1 for none
    bool stationHeard = false;     // a reply with the station's digits came, on any attempt
    std::string stationNote;       // what that says of the station, for a list of stations
    std::string message;           // a failure's one line, with what to check
    double ms = 0;
    // The port failed, not the station (port_keeper.h): not a result to record.
    bool portLost = false;

    // The one judgement (JudgedGood): the driver took it, kivhost holds nothing against it.
    bool Good() const { return JudgedGood(result == SUCCESS, doubt); }
    // "good", an outcome's name, or a doubt's: "bad-data", "late-reply".
    const char* ReasonName() const { return kivhost::ReasonName(reason, doubt); }
};

enum class Quality {
    None,      // not read yet
    Good,      // read this cycle
    Failed,    // its read failed this cycle
    Down,      // its station or block is set aside and was not asked this cycle
    Rejected,  // the driver refused the read
    BadData,   // the driver took a reply kivhost does not (damaged, or a late reply): the value is the last good one
    Stale,     // read good, but not again for longer than a gateway's clients may trust it
};
// "", "good", "failed", "down", "rejected", "bad-data", "stale"
const char* QualityName(Quality quality);

struct TagState {
    std::vector<uint16_t> values;  // of the last good read: one per element, bits 0 or 1
    Quality quality = Quality::None;
    std::optional<WallTime> lastGood;
    // Of this cycle's read, or for Down of the failure that set it aside.
    Outcome reason = Outcome::Good;
    Doubt doubt = Doubt::None;  // of BadData: what kivhost holds against the reply
    int attempts = 0;           // this cycle's; 0 when not asked
    bool late = false;          // a good read that may be the answer to an earlier request
    bool checksum = false;      // a good reply whose checksum does not follow the rule
    std::string message;        // of a failed read: what happened, and what to check
    uint64_t good = 0;
    uint64_t failed = 0;
    uint64_t retried = 0;  // good reads that took more than one attempt
};

struct StationState {
    int station = 0;
    bool down = false;
    WallTime downSince{};     // for the logs
    SteadyTime downSteady{};  // for how long: the wall clock may jump meanwhile
    SteadyTime nextRetry{};
    Outcome reason = Outcome::Good;  // of the failure that set it aside
    int attempts = 0;
};

struct BlockState {
    bool down = false;  // refused by a station that answers
    SteadyTime downSteady{};
    SteadyTime nextRetry{};
    Outcome reason = Outcome::Good;
    int attempts = 0;
};

struct ScanEvent {
    enum class Kind {
        StationDown,     // a station stopped answering
        StillDown,       // its retry failed too
        StationBack,     // it answers again
        BlockRefused,    // a block was refused by a station that answers
        BlockBack,       // and is read again
        ChecksumUnused,  // a station's replies never keep the checksum rule
    };
    Kind kind;
    WallTime time;
    int station = 0;
    size_t block = 0;
    Outcome reason = Outcome::Good;
    int attempts = 0;
    double downSeconds = 0;  // StationBack, BlockBack: how long it was set aside, by the steady clock
};

struct CycleStats {
    uint64_t number = 0;    // from 1
    int exchanges = 0;      // block reads made
    int failures = 0;       // of them failed
    int retries = 0;        // of them asked a station or block set aside
    bool complete = false;  // every block due was read (not stopped half way)
    double ms = 0;          // from the first read to the end of the last
    WallTime start{};
};

struct ScanSettings {
    std::chrono::milliseconds retryDown{DEFAULT_RETRY_DOWN_S * 1000};
};

class ScanEngine {
public:
    ScanEngine(std::vector<Tag> tags, ReadPlan plan, ScanSettings settings);

    void BeginCycle(const ScanMoment& now);
    // The block to read next in this cycle, or none when the cycle is done:
    // every block in the plan's order, except those set aside whose retry is
    // not due. Of a station set aside only its first block is asked when
    // the retry is due; the rest follow when it answers.
    std::optional<size_t> NextBlock(const ScanMoment& now);
    void Record(size_t block, const BlockOutcome& outcome, const ScanMoment& now);
    // complete: every block was asked (false when stopped half way).
    void EndCycle(const ScanMoment& now, bool complete);
    // When the next cycle has something to ask: now when a block is not set
    // aside, else the first retry due (which may be past). A cycle before it
    // would ask nothing.
    SteadyTime NextDue(SteadyTime now) const;

    const std::vector<Tag>& Tags() const { return tags_; }
    const ReadPlan& Plan() const { return plan_; }
    const std::vector<TagState>& States() const { return states_; }
    const std::vector<StationState>& Stations() const { return stations_; }  // by number
    const std::vector<BlockState>& Blocks() const { return blocks_; }
    const CycleStats& Cycle() const { return cycle_; }
    // This cycle's, in order.
    const std::vector<ScanEvent>& Events() const { return events_; }
    const ScanSettings& Settings() const { return settings_; }
    // Cycle times over the finished cycles.
    double AverageMs() const { return cycles_ == 0 ? 0 : totalMs_ / static_cast<double>(cycles_); }
    double MaxMs() const { return maxMs_; }
    uint64_t Exchanges() const { return exchanges_; }
    uint64_t Failures() const { return failures_; }

private:
    StationState& StationOf(size_t block);
    void SetAside(size_t block, const BlockOutcome& outcome, const ScanMoment& now, bool probe);
    // The block's tags not good this cycle: failed, rejected or damaged.
    void MarkNotGood(size_t block, Quality quality, const BlockOutcome& outcome);

    std::vector<Tag> tags_;
    ReadPlan plan_;
    ScanSettings settings_;
    std::vector<TagState> states_;
    std::vector<StationState> stations_;
    std::vector<size_t> stationIndex_;  // per block
    std::vector<BlockState> blocks_;
    std::vector<std::vector<size_t>> blockTags_;  // per block, the tags it serves

    size_t next_ = 0;
    std::vector<char> asked_;    // per block: read this cycle
    std::vector<char> probing_;  // per station: its retry is under way this cycle
    SteadyTime cycleStart_{};
    CycleStats cycle_;
    std::vector<ScanEvent> events_;
    uint64_t cycles_ = 0;
    double totalMs_ = 0;
    double maxMs_ = 0;
    uint64_t exchanges_ = 0;
    uint64_t failures_ = 0;
};

// Whether a failure means the station is not answering (time-outs: no
// reply, a short one, or nothing could be sent), rather than refusing.
bool IsSilence(Outcome reason);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_SCAN_ENGINE_H
