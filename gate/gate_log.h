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
#include "gate/status_line.h"

namespace kivgate {

enum class LogLevel { Error, Warn, Info, Debug };

// Copies share one log.
class Logger {
public:
    // Standard error; the status line only when it is a terminal.
    Logger();
    // Each line to sink instead, already stamped; no status line (tests).
    explicit Logger(std::function<void(const std::string&)> sink);

    // An event: "2024-05-01T12:34:56.789Z station 1 (01) does not answer",
    // written when the level set reaches its own. One that repeats is
    // counted after a few a minute (log_repeats.h).
    void Log(LogLevel level, const std::string& event) const;
    // What failed and needs mending.
    void Error(const std::string& event) const { Log(LogLevel::Error, event); }
    // A service degraded: a station down, the port or the broker lost.
    void Warn(const std::string& event) const { Log(LogLevel::Warn, event); }
    // What the gateway did and why: a write done or refused, a start.
    void Info(const std::string& event) const { Log(LogLevel::Info, event); }
    // Detail for finding a fault (each Modbus connection).
    void Debug(const std::string& event) const { Log(LogLevel::Debug, event); }
    void operator()(const std::string& event) const { Info(event); }
    void SetLevel(LogLevel level) const;
    // What the status line tells that the servers know.
    StatusFacts& Facts() const { return shared_->facts; }
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
        StatusFacts facts;
    };
    // Under the mutex: one stamped line out.
    static void Write(Shared& shared, const std::string& text);
    std::shared_ptr<Shared> shared_;
};

}  // namespace kivgate

#endif  // KIVGATE_GATE_LOG_H
