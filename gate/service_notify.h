// What systemd hears of a kivgate it runs with Type=notify: ready once the
// port is open and the first scan cycle has run; a one-line status when it
// changes, at most about once a second; and the watchdog's keep-alive, sent
// by the line's owner only when it makes progress, so that a line stuck in
// an exchange is restarted. Not run by systemd (no NOTIFY_SOCKET), or built
// without libsystemd, it says nothing.
#ifndef KIVGATE_SERVICE_NOTIFY_H
#define KIVGATE_SERVICE_NOTIFY_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kivgate {

struct ServiceSummary {
    size_t stationsUp = 0;
    size_t stationsDown = 0;
    bool portLost = false;
    uint64_t writesDone = 0;
    uint64_t writesFailed = 0;
};

// "2 stations up, 1 down; writes: 5 done, 0 failed", the port's loss first.
std::string ServiceStatusText(const ServiceSummary& summary);

class ServiceNotifier {
public:
    using Clock = std::chrono::steady_clock;

    // From the environment systemd set: NOTIFY_SOCKET, WATCHDOG_USEC and
    // WATCHDOG_PID (sd_watchdog_enabled's rules).
    ServiceNotifier();

    // A snapshot published; cycleDone: at the end of a scan cycle.
    void Progress(const ServiceSummary& summary, bool cycleDone);
    // Waiting between cycles or for the port: alive, with nothing new.
    void Alive();
    void Stopping();

private:
    void Send(std::string message, Clock::time_point now);

    bool enabled_ = false;
    bool ready_ = false;
    std::chrono::microseconds watchdog_{0};  // 0: none asked for
    Clock::time_point lastPing_{};
    Clock::time_point lastStatus_{};
    std::string status_;
    std::string statusSent_;
};

}  // namespace kivgate

#endif  // KIVGATE_SERVICE_NOTIFY_H
