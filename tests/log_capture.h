// Collects the driver's log lines from the host log stand-in.
#ifndef DAVODEV_TESTS_LOG_CAPTURE_H
#define DAVODEV_TESTS_LOG_CAPTURE_H

#include <mutex>
#include <string>
#include <vector>

#include "hosting/dorvak.h"

struct LogLine {
    int level;
    std::string text;
    bool operator==(const LogLine&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const LogLine& line)
{
    return os << "[" << line.level << "] \"" << line.text << "\"";
}

class LogCapture {
public:
    LogCapture() { DorvakSetSink(&LogCapture::Sink, this); }
    ~LogCapture() { DorvakSetSink(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogLine> Lines()
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    void Clear()
    {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

private:
    static void Sink(int32_t level, const char* text, void* context)
    {
        auto* self = static_cast<LogCapture*>(context);
        std::lock_guard lock(self->mutex_);
        self->lines_.push_back({level, text});
    }

    std::mutex mutex_;
    std::vector<LogLine> lines_;
};

#endif  // DAVODEV_TESTS_LOG_CAPTURE_H
