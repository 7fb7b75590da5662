#include "sim/record_log.h"

namespace plcsim {

void RecordLog::Publish(Record record)
{
    {
        std::lock_guard lock(mutex_);
        record.sequence = nextSequence_++;
        records_.push_back(record);
        while (records_.size() > maxRecords_)
            records_.pop_front();
    }
    if (onRecord_)
        onRecord_(record);
}

void RecordLog::CountRequest()
{
    {
        std::lock_guard lock(mutex_);
        ++requestCount_;
    }
    handled_.notify_all();
}

std::vector<Record> RecordLog::Records() const
{
    std::lock_guard lock(mutex_);
    return {records_.begin(), records_.end()};
}

void RecordLog::Clear()
{
    std::lock_guard lock(mutex_);
    records_.clear();
}

uint64_t RecordLog::RequestCount() const
{
    std::lock_guard lock(mutex_);
    return requestCount_;
}

bool RecordLog::WaitForRequests(uint64_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return handled_.wait_for(lock, timeout, [&] { return requestCount_ >= count; });
}

}  // namespace plcsim
