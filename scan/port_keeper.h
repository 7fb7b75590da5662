// A port the driver can no longer write to, as when its USB adapter is
// pulled: the stations on it are not to blame, so what scan and poll hold
// of them stays as it was. The loss is told once; the driver is asked to
// open the port again (ReOpenCom) every retry until it does, and the
// return is told.
//
//   PortKeeper port(session, options.line, std::chrono::seconds(10));
//   ... after an exchange: if (port.Lost(report)) end the cycle here ...
//   ... before the next: if (!port.Ready(stop)) stop ...
#ifndef DAVODEV_KIVHOST_PORT_KEEPER_H
#define DAVODEV_KIVHOST_PORT_KEEPER_H

#include <chrono>
#include <string>
#include <vector>

#include "analysis/exchange_report.h"
#include "common/line_settings.h"
#include "common/stop_token.h"
#include "scan/scan_engine.h"

namespace kivhost {

class Session;

struct PortEvent {
    enum class Kind { Lost, Back };
    Kind kind;
    WallTime time;
    std::string message;  // for people, without the time
};

class PortKeeper {
public:
    // line: the channel's, as it was started.
    PortKeeper(Session& session, const LineOptions& line, std::chrono::milliseconds retry);

    // Whether the exchange the report tells of failed for the port rather
    // than its station; the first such failure starts the retries.
    bool Lost(const ExchangeReport& report);
    bool Lost() const { return lost_; }
    // While the port is lost: waits until the next try is due, asks the
    // driver to open the port again, and so on until it does (true) or a
    // stop is asked for (false): the wait ends at once on it. At once true
    // when it is not lost.
    bool Ready(const StopToken& stop);
    // The same without waiting: asks the driver once when the next try is
    // due; true when the port is back (or was never lost).
    bool TryAgain();

    // The losses and returns not taken yet, in order.
    std::vector<PortEvent> TakeEvents();
    // "the port /tmp/plc1 was lost 1 time, 3.2 s in all", with "and is still
    // lost" if so; "" when it never was.
    std::string Summary() const;

private:
    Session& session_;
    const LineOptions& line_;
    std::string port_;  // as the user named it
    std::chrono::milliseconds retry_;
    bool lost_ = false;
    SteadyTime lostAt_{};
    SteadyTime nextTry_{};
    int losses_ = 0;
    double lostSeconds_ = 0;  // of the losses over
    std::vector<PortEvent> events_;
};

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_PORT_KEEPER_H
