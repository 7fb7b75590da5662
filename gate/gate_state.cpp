#include "gate_state.h"

namespace kivgate {

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

std::future<WriteResult> WriteQueue::Submit(WriteRequest request)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || pending_.size() >= capacity_)
        return {};
    pending_.push_back(Pending{std::move(request), {}});
    return pending_.back().result.get_future();
}

std::optional<WriteQueue::Pending> WriteQueue::Take()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_.empty())
        return std::nullopt;
    Pending next = std::move(pending_.front());
    pending_.pop_front();
    return next;
}

void WriteQueue::Close(const std::string& why)
{
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    for (Pending& pending : pending_)
        pending.result.set_value(WriteResult{false, why});
    pending_.clear();
}

}  // namespace kivgate
