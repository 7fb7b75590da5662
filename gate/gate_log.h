// kivgate's log: a line per event on standard error, stamped with the UTC
// time, from any thread; on a terminal, one status line under them, drawn
// again in place.
#ifndef KIVGATE_GATE_LOG_H
#define KIVGATE_GATE_LOG_H

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "gate/log_repeats.h"

namespace kivgate {

enum class LogLevel { Error, Warn, Info, Debug };

// Copies share one log.
class Logger {
public:
    // Standard error; the status line only when it is a terminal.
    Logger();
    // Each line to sink instead, already stamped; no status line (tests).
    explicit Logger(std::function<void(const std::string&)> sink);

    // An event: "2024-05-01T12:34:56.789Z station 1 (01) does not answer".
    // One that repeats is counted after a few a minute (log_repeats.h).
    void operator()(const std::string& event) const;
    // Detail for finding a fault (each Modbus connection): only at debug.
    void Debug(const std::string& event) const;
    void SetLevel(LogLevel level) const;
    // The status line, on a terminal; nothing elsewhere.
    void Status(const std::string& line) const;
    // The status line cleared, and the repeats still counted written, for
    // the last lines of a run.
    void EndStatus() const;

private:
    struct Shared {
        std::mutex mutex;
        std::function<void(const std::string&)> sink;  // none: standard error
        bool terminal = false;
        std::string status;  // drawn now
        LogLevel level = LogLevel::Info;
        LogRepeats repeats;
    };
    // Under the mutex: one stamped line out.
    static void Write(Shared& shared, const std::string& text);
    std::shared_ptr<Shared> shared_;
};

}  // namespace kivgate

#endif  // KIVGATE_GATE_LOG_H
