#include "gate/event_log.h"

namespace kivgate {

void EventLog::Log(LogLevel level, const std::string& event) const
{
    if (logger_)
        logger_->Log(level, event);
    else if (sink_)
        sink_(event);
}

void EventLog::WriteRefused(const std::string& event) const
{
    if (logger_)
        ++logger_->Facts().writesRefused;
    Info(event);
}

void EventLog::Broker(BrokerState state) const
{
    if (logger_)
        logger_->Facts().broker = state;
}

}  // namespace kivgate
