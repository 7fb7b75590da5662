#include "gate/gate_state.h"

#include <set>

namespace kivgate {

std::vector<int> ConfiguredStations(const std::vector<GateTag>& tags)
{
    std::set<int> stations;
    for (const GateTag& gate : tags)
        stations.insert(gate.tag.address.station);
    return {stations.begin(), stations.end()};
}

Quality TagValue::QualityAt(SteadyTime now, std::chrono::milliseconds maxAge) const
{
    if (quality == Quality::Good && maxAge.count() > 0 && now - readAt > maxAge)
        return Quality::Stale;
    return quality;
}

void SnapshotStore::Publish(std::shared_ptr<Snapshot> snapshot)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        snapshot->version = ++version_;
        latest_ = std::move(snapshot);
    }
    changed_.notify_all();
}

std::shared_ptr<const Snapshot> SnapshotStore::Latest() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return latest_;
}

std::shared_ptr<const Snapshot> SnapshotStore::WaitNewer(uint64_t version, std::chrono::milliseconds upTo) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, upTo, [&] { return latest_->version > version; });
    return latest_;
}

}  // namespace kivgate
