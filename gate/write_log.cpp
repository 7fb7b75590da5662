#include "gate/write_log.h"

namespace kivgate {

void WriteLog::Add(WriteRecord record)
{
    std::lock_guard lock(mutex_);
    records_.push_front(std::move(record));
    if (records_.size() > KEPT)
        records_.pop_back();
}

std::vector<WriteRecord> WriteLog::Latest() const
{
    std::lock_guard lock(mutex_);
    return {records_.begin(), records_.end()};
}

}  // namespace kivgate
