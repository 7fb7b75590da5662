#include "gate/service_notify.h"

#include <cstdlib>

#if KIVGATE_HAS_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace kivgate {
namespace {

constexpr std::chrono::seconds STATUS_EVERY{1};

}  // namespace

std::string ServiceStatusText(const ServiceSummary& summary)
{
    return std::string(summary.portLost ? "port lost: " : "") + std::to_string(summary.stationsUp) +
           (summary.stationsUp == 1 ? " station up, " : " stations up, ") + std::to_string(summary.stationsDown) +
           " down; writes: " + std::to_string(summary.writesDone) + " done, " + std::to_string(summary.writesFailed) +
           " failed";
}

ServiceNotifier::ServiceNotifier()
{
#if KIVGATE_HAS_SYSTEMD
    const char* socket = std::getenv("NOTIFY_SOCKET");
    enabled_ = socket != nullptr && *socket != '\0';
    uint64_t usec = 0;
    // The variables stay set: a reload starts kivgate again in this process.
    if (enabled_ && sd_watchdog_enabled(0, &usec) > 0)
        watchdog_ = std::chrono::microseconds(usec);
#endif
}

void ServiceNotifier::Progress(const ServiceSummary& summary, bool cycleDone)
{
    if (!enabled_)
        return;
    status_ = ServiceStatusText(summary);
    std::string message;
    if (cycleDone && !ready_) {
        ready_ = true;
        message = "READY=1\n";
    }
    Send(std::move(message), Clock::now());
}

void ServiceNotifier::Alive()
{
    if (enabled_)
        Send({}, Clock::now());
}

void ServiceNotifier::Stopping()
{
    if (enabled_)
        Send("STOPPING=1\n", Clock::now());
}

void ServiceNotifier::Send(std::string message, Clock::time_point now)
{
    // The first status at once, later ones when a second has passed: a
    // change in between is sent then, with whatever it has become.
    if (status_ != statusSent_ && (statusSent_.empty() || now - lastStatus_ >= STATUS_EVERY)) {
        message += "STATUS=" + status_ + "\n";
        statusSent_ = status_;
        lastStatus_ = now;
    }
    // Four times in the watchdog's time: a late one still comes in time.
    if (watchdog_.count() > 0 && now - lastPing_ >= watchdog_ / 4) {
        message += "WATCHDOG=1\n";
        lastPing_ = now;
    }
#if KIVGATE_HAS_SYSTEMD
    if (!message.empty())
        sd_notify(0, message.c_str());
#else
    (void)message;
#endif
}

}  // namespace kivgate
