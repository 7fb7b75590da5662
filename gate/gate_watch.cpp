#include "gate/gate_watch.h"

namespace kivgate {

GateWatch::GateWatch(const std::vector<GateTag>& tags) : tags_(tags), metrics_(tags), history_(ConfiguredStations(tags))
{
}

void GateWatch::Watch(WriteQueue& writes)
{
    writes.OnSettled([this](const WriteRequest& request, const WriteResult& result) {
        metrics_.Write(result.done ? "done" : result.sent ? "failed" : "not-sent");
        WriteRecord record;
        record.time = std::chrono::system_clock::now();
        record.from = request.from;
        record.tag = request.tag < tags_.size() ? tags_[request.tag].tag.name : "?";
        record.offset = request.offset;
        record.values = request.values;
        record.result = result;
        writes_.Add(std::move(record));
    });
}

StatusContent GateWatch::Content(const SnapshotStore& snapshots, std::function<GatewayFacts()> facts)
{
    StatusContent content;
    content.status = [this, &snapshots, facts] {
        GatewayFacts now = facts();
        now.uptimeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        return StatusJson(now, tags_, *snapshots.Latest(), history_, writes_, std::chrono::steady_clock::now());
    };
    content.metrics = [this, &snapshots] {
        return metrics_.Text(*snapshots.Latest(), std::chrono::steady_clock::now());
    };
    return content;
}

}  // namespace kivgate
