// The last writes settled, for the status page: who asked, what, and how
// it ended. Fixed in size: the oldest goes when a new one comes.
#ifndef KIVGATE_WRITE_LOG_H
#define KIVGATE_WRITE_LOG_H

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "gate/gate_state.h"

namespace kivgate {

struct WriteRecord {
    WallTime time{};
    std::string from;  // as WriteRequest::from
    std::string tag;   // its name
    size_t offset = 0;
    std::vector<uint16_t> values;
    WriteResult result;
};

class WriteLog {
public:
    static constexpr size_t KEPT = 50;

    void Add(WriteRecord record);
    // Newest first.
    std::vector<WriteRecord> Latest() const;

private:
    mutable std::mutex mutex_;
    std::deque<WriteRecord> records_;
};

}  // namespace kivgate

#endif  // KIVGATE_WRITE_LOG_H
