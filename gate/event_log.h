// What the servers log through: the run's Logger, each event at its own
// level and the status line's facts kept; or one function that takes every
// event whatever its level, and keeps no facts (the tests, the benchmark).
#ifndef KIVGATE_EVENT_LOG_H
#define KIVGATE_EVENT_LOG_H

#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "gate/gate_log.h"

namespace kivgate {

class EventLog {
public:
    EventLog() = default;  // nothing told
    EventLog(const Logger& logger) : logger_(logger) {}
    template <typename Sink>
    requires(std::is_invocable_v<Sink&, const std::string&> && !std::is_same_v<std::decay_t<Sink>, Logger> &&
             !std::is_same_v<std::decay_t<Sink>, EventLog>) EventLog(Sink sink)
        : sink_(std::move(sink))
    {
    }

    void Log(LogLevel level, const std::string& event) const;
    void Error(const std::string& event) const { Log(LogLevel::Error, event); }
    void Warn(const std::string& event) const { Log(LogLevel::Warn, event); }
    void Info(const std::string& event) const { Log(LogLevel::Info, event); }
    void Debug(const std::string& event) const { Log(LogLevel::Debug, event); }
    void operator()(const std::string& event) const { Info(event); }

    // A write refused before it reached the line: told at info, and counted.
    void WriteRefused(const std::string& event) const;
    void Broker(BrokerState state) const;

private:
    std::optional<Logger> logger_;
    std::function<void(const std::string&)> sink_;
};

}  // namespace kivgate

#endif  // KIVGATE_EVENT_LOG_H
