// What the status page and /metrics show beyond the snapshots, kept while
// the gateway runs: the counts, the stations' last hour and the last
// writes. Made before the line's owner and the servers, which report to it.
#ifndef KIVGATE_GATE_WATCH_H
#define KIVGATE_GATE_WATCH_H

#include <chrono>
#include <functional>
#include <vector>

#include "gate/gate_metrics.h"
#include "gate/gate_state.h"
#include "gate/station_history.h"
#include "gate/status_json.h"
#include "gate/status_server.h"
#include "gate/write_log.h"

namespace kivgate {

class GateWatch {
public:
    explicit GateWatch(const std::vector<GateTag>& tags);

    GateMetrics& Metrics() { return metrics_; }
    StationHistory& History() { return history_; }
    // Every write the queue settles, counted and kept for the page.
    void Watch(WriteQueue& writes);

    // The page's content; facts asked at each request (with the uptime
    // filled in here).
    StatusContent Content(const SnapshotStore& snapshots, std::function<GatewayFacts()> facts);

private:
    std::vector<GateTag> tags_;
    GateMetrics metrics_;
    StationHistory history_;
    WriteLog writes_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace kivgate

#endif  // KIVGATE_GATE_WATCH_H
