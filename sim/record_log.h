// What went over the line, record by record, and how many requests were
// handled: stored on the serving thread, read from any.
#ifndef DAVODEV_PLCSIM_RECORD_LOG_H
#define DAVODEV_PLCSIM_RECORD_LOG_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "sim/plc_simulator.h"
#include "sim/sim_threads.h"

namespace plcsim {

class RecordLog {
public:
    // Keeps the latest maxRecords; onRecord, if set, sees each record after
    // it is stored, outside the lock.
    RecordLog(size_t maxRecords, std::function<void(const Record&)> onRecord)
        : maxRecords_(maxRecords), onRecord_(std::move(onRecord))
    {
    }

    // Numbers the record and stores it.
    void Publish(Record record);
    // A frame taken off the line is fully handled (reply sent or not).
    void CountRequest();

    std::vector<Record> Records() const;
    void Clear();
    uint64_t RequestCount() const;
    bool WaitForRequests(uint64_t count, std::chrono::milliseconds timeout) const;

private:
    const size_t maxRecords_;
    const std::function<void(const Record&)> onRecord_;
    mutable Mutex mutex_;
    mutable ConditionVariable handled_;
    std::deque<Record> records_;
    uint64_t nextSequence_ = 0;
    uint64_t requestCount_ = 0;
};

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_RECORD_LOG_H
