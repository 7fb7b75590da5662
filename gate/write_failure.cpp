#include "gate/write_failure.h"

#include "common/tool_text.h"
#include "fieldkit/exchange_text.h"

namespace kivgate {
namespace {

// The station a reply's header names ("/A01..." or "/N01..."); -1 for none.
int ReplyStation(const std::string& reply)
{
    if (reply.size() < 4 || reply[0] != '/')
        return -1;
    int station = 0;
    for (const char c : reply.substr(2, 2)) {
        const std::string digits = "0123456789ABCDEF";
        const size_t digit = digits.find(c);
        if (digit == std::string::npos)
            return -1;
        station = station * 16 + static_cast<int>(digit);
    }
    return station;
}

}  // namespace

std::string WriteFailure(const DriverAddress& address, const std::string& text, int32_t result,
                         const kivhost::ExchangeReport& report, uint32_t timeoutMs)
{
    const int other = report.answeringStation >= 0 ? report.answeringStation : ReplyStation(report.replyStart);
    if (result == REJECTED || !report.traced || other < 0 || other == address.station)
        return kivhost::ExchangeFailure(address, text, true, result, report, timeoutMs);
    const std::string attempts = report.Attempts() <= 1 ? "1 attempt" : kivhost::AttemptsText(report);
    return "no acknowledgement from station " + kivhost::StationText(address.station) + " to the write of " + text +
           ": " + attempts + "; what came was station " + kivhost::StationText(other) + "'s reply" +
           (report.replyStart.empty() ? "" : " (\"" + report.replyStart + "\")") +
           ", late for an earlier request or from a second station with one number, which says nothing of this "
           "write; read the value back before writing again, and raise --timeout if replies come late";
}

}  // namespace kivgate
