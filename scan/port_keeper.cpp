#include "scan/port_keeper.h"

#include "common/tool_text.h"
#include "host_api/davodev.h"
#include "hosting/session.h"
#include "scan/scan_messages.h"

namespace kivhost {
namespace {

double Seconds(std::chrono::steady_clock::duration span)
{
    return std::chrono::duration<double>(span).count();
}

}  // namespace

PortKeeper::PortKeeper(Session& session, const LineOptions& line, std::chrono::milliseconds retry)
    : session_(session), line_(line), port_(line.portGivenAs), retry_(retry)
{
}

bool PortKeeper::Lost(const ExchangeReport& report)
{
    if (!report.PortRefused())
        return false;
    if (lost_)
        return true;
    const ScanMoment now = ScanMoment::Now();
    lost_ = true;
    lostAt_ = now.steady;
    nextTry_ = now.steady + retry_;
    ++losses_;
    events_.push_back({PortEvent::Kind::Lost, now.wall,
                       "port " + port_ +
                           " failed: the driver could not write to it (has its adapter been pulled?), which is no "
                           "station's fault; trying to open it again every " +
                           RetryWords(retry_)});
    return true;
}

bool PortKeeper::Ready(const StopToken& stop)
{
    while (lost_) {
        // The wait ends early on Ctrl-C, and the try is not made then.
        if (!stop.WaitUntil(nextTry_))
            return false;
        TryAgain();
    }
    return true;
}

bool PortKeeper::TryAgain()
{
    if (!lost_)
        return true;
    if (std::chrono::steady_clock::now() < nextTry_)
        return false;
    int32_t result = session_.ReOpenPort();
    // ReOpenCom leaves the port at the one-second time-out of an open;
    // starting the channel again on it gives it its own back.
    if (result == SUCCESS)
        result = session_.ColdStart(line_, true);
    const ScanMoment now = ScanMoment::Now();
    if (result != SUCCESS) {
        nextTry_ = now.steady + retry_;
        return false;
    }
    lost_ = false;
    const double seconds = Seconds(now.steady - lostAt_);
    lostSeconds_ += seconds;
    events_.push_back({PortEvent::Kind::Back, now.wall, "port " + port_ + " back after " + Printf("%.1f s", seconds)});
    return true;
}

std::vector<PortEvent> PortKeeper::TakeEvents()
{
    std::vector<PortEvent> events;
    events.swap(events_);
    return events;
}

std::string PortKeeper::Summary() const
{
    if (losses_ == 0)
        return "";
    const double seconds = lostSeconds_ + (lost_ ? Seconds(std::chrono::steady_clock::now() - lostAt_) : 0);
    return "the port " + port_ + " was lost " + Plural(losses_, "time", "times") + ", " + Printf("%.1f s", seconds) +
           " in all" + (lost_ ? ", and is still lost" : "");
}

}  // namespace kivhost
