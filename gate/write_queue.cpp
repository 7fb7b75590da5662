#include "gate/write_queue.h"

#include <algorithm>

namespace kivgate {

std::string NotSentInTime(std::chrono::milliseconds timeout)
{
    return "not sent within " + std::to_string(timeout.count()) +
           " ms (--write-timeout): the line was busy or its station slow, so it was dropped";
}

WriteQueue::WriteQueue(size_t capacity, std::chrono::milliseconds timeout)
    : capacity_(capacity), timeout_(timeout), expiry_([this] { ExpireLoop(); })
{
}

WriteQueue::~WriteQueue()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    expiry_.join();
    Close("kivgate is stopping: the write was not sent");
}

std::future<WriteResult> WriteQueue::Submit(WriteRequest request)
{
    std::vector<WriteRequest> parts;
    parts.push_back(std::move(request));
    Submitted submitted = SubmitAll(std::move(parts));
    return submitted.results.empty() ? std::future<WriteResult>{} : std::move(submitted.results.front());
}

WriteQueue::Submitted WriteQueue::SubmitAll(std::vector<WriteRequest> parts)
{
    Submitted submitted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_ || parts.empty() || pending_.size() + parts.size() > capacity_)
            return submitted;
        submitted.batch = ++lastBatch_;
        std::string refused;
        for (const WriteRequest& part : parts)
            if (refused.empty() && part.tag < refused_.size())
                refused = refused_[part.tag];
        const SteadyTime deadline = std::chrono::steady_clock::now() + timeout_;
        for (WriteRequest& part : parts) {
            part.batch = submitted.batch;
            if (part.deadline == SteadyTime{})
                part.deadline = deadline;
            pending_.push_back(Pending{std::move(part), {}});
            submitted.results.push_back(pending_.back().result.get_future());
        }
        // All or none: a part on a station that is up waits for no part
        // that cannot be written.
        if (!refused.empty())
            WithdrawLocked(submitted.batch, refused);
    }
    changed_.notify_all();
    return submitted;
}

void WriteQueue::Withdraw(uint64_t batch, const std::string& why)
{
    std::lock_guard<std::mutex> lock(mutex_);
    WithdrawLocked(batch, why);
}

void WriteQueue::WithdrawLocked(uint64_t batch, const std::string& why)
{
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->request.batch != batch) {
            ++it;
            continue;
        }
        Settle(*it, WriteResult{false, why, false});
        it = pending_.erase(it);
    }
}

void WriteQueue::Refuse(std::vector<std::string> whyByTag)
{
    std::lock_guard<std::mutex> lock(mutex_);
    refused_ = std::move(whyByTag);
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

std::vector<WriteQueue::Dropped> WriteQueue::TakeDropped()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Dropped> dropped(std::make_move_iterator(dropped_.begin()), std::make_move_iterator(dropped_.end()));
    dropped_.clear();
    return dropped;
}

void WriteQueue::Close(const std::string& why)
{
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    for (Pending& pending : pending_)
        Settle(pending, WriteResult{false, why, false});
    pending_.clear();
}

void WriteQueue::ExpireLoop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!ending_) {
        const SteadyTime now = std::chrono::steady_clock::now();
        std::optional<SteadyTime> next;
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->request.deadline > now) {
                next = std::min(next.value_or(it->request.deadline), it->request.deadline);
                ++it;
                continue;
            }
            Settle(*it, WriteResult{false, NotSentInTime(timeout_), false});
            it = pending_.erase(it);
        }
        if (next)
            changed_.wait_until(lock, *next);
        else
            changed_.wait(lock);
    }
}

void WriteQueue::Finish(Pending& pending, WriteResult result)
{
    if (settled_)
        settled_(pending.request, result);
    pending.result.set_value(std::move(result));
}

void WriteQueue::Settle(Pending& pending, WriteResult result)
{
    if (settled_)
        settled_(pending.request, result);
    pending.result.set_value(result);
    // Kept for the owner's log, which nobody may be reading: the oldest go first.
    if (dropped_.size() >= capacity_)
        dropped_.pop_front();
    dropped_.push_back(Dropped{std::move(pending.request), std::move(result)});
}

}  // namespace kivgate
