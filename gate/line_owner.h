// The one thread that talks to the line: it scans the tags cycle after
// cycle, does the queued writes between blocks (and between cycles), and
// publishes a snapshot after each block. The servers never call the driver.
// Its writes live in line_writes.cpp.
#ifndef KIVGATE_LINE_OWNER_H
#define KIVGATE_LINE_OWNER_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "analysis/exchange_report.h"
#include "analysis/latency_histogram.h"
#include "common/line_settings.h"
#include "common/stop_token.h"
#include "gate/gate_log.h"
#include "gate/gate_metrics.h"
#include "gate/gate_state.h"
#include "gate/max_age.h"
#include "gate/station_history.h"
#include "scan/port_keeper.h"
#include "scan/scan_engine.h"
#include "scan/scan_line.h"

namespace kivhost {
class Session;
}

namespace kivgate {

class ServiceNotifier;

struct LineOwnerSettings {
    int maxGap = kivhost::DEFAULT_MAX_GAP;
    std::chrono::milliseconds retryDown{kivhost::DEFAULT_RETRY_DOWN_S * 1000};
    uint32_t intervalMs = 0;
    std::chrono::milliseconds maxAge{0};  // 0: from the cycles (max_age.h)
    // For the status page and /metrics; none: not kept.
    GateMetrics* metrics = nullptr;
    StationHistory* history = nullptr;
    ServiceNotifier* notifier = nullptr;  // told of progress, from the owner's thread
};

class LineOwner {
public:
    // line: the channel's, with its port opened; session and reporter are
    // the owner's from now on.
    LineOwner(kivhost::Session& session, kivhost::ExchangeReporter& reporter, const kivhost::LineOptions& line,
              const std::vector<GateTag>& tags, const LineOwnerSettings& settings, SnapshotStore& snapshots,
              WriteQueue& writes, Logger log);

    // Cycles until a stop is asked for (the exchange under way is finished
    // first); the token is busy while the driver is in an exchange. cycles
    // 0: no end.
    void Run(kivhost::StopToken& stop, uint64_t cycles = 0);

    size_t LongestReply() const;

private:
    void AfterBlock(size_t block, const kivhost::BlockOutcome& outcome);
    // The engine's and the port's events not logged yet.
    void LogEvents();
    // While the port is lost, or until the next cycle is due: writes go (or
    // fail) at once, and the port is tried again when due.
    void WaitForCycle(std::chrono::steady_clock::time_point next);

    // The writes queued, between blocks; none once a stop is asked for.
    void DoWrites();
    WriteResult Write(const WriteRequest& request);
    // The blocks holding what a write changed, read again before its
    // requester hears it was done: nobody is served the value from before.
    void ReadBack(const WriteRequest& request);
    void LogDropped();
    std::string TagName(size_t tag) const;

    // A snapshot of the tags and stations, after every block and at the end
    // of a cycle (cycleDone: the status line too). It also tells the queue
    // which tags cannot be written now.
    void Publish(bool cycleDone);

    struct StationTally {
        std::map<std::string, uint64_t> failures;  // by reason
        std::string lastReason;
        kivhost::LatencyHistogram latencyUs;
        kivhost::WallTime since{};
        bool down = false;
    };

    kivhost::Session& session_;
    kivhost::ExchangeReporter& reporter_;
    const kivhost::LineOptions& line_;
    std::vector<GateTag> tags_;
    LineOwnerSettings settings_;
    SnapshotStore& snapshots_;
    WriteQueue& writes_;
    Logger log_;
    kivhost::ScanEngine engine_;
    kivhost::PortKeeper port_;
    kivhost::ScanLine scanLine_;
    std::map<int, StationTally> stations_;
    kivhost::StopToken* stop_ = nullptr;  // Run's

    std::vector<std::vector<size_t>> blockTags_;  // per block, the tags it serves
    std::vector<SteadyTime> readAt_;              // per tag, of its last good read
    std::vector<char> unread_;                    // per tag: down until read again, after the port was lost
    std::vector<std::string> refusals_;           // per tag, why it cannot be written now
    MaxAge maxAge_;
    bool lastHealthy_ = false;
    uint64_t eventsCycle_ = 0;
    uint64_t writesDone_ = 0;
    uint64_t writesFailed_ = 0;
    size_t eventsLogged_ = 0;
};

}  // namespace kivgate

#endif  // KIVGATE_LINE_OWNER_H
