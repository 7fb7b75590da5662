// One read or write through the driver, judged from the traces it left:
// the call, its time and the verdict on its exchange, as read, poll, the
// scan and the gateway's writes all take them.
//
//   const JudgedExchange done = JudgedRead(session, reporter, address, count, &values);
//   if (ExchangeGood(done.result, done.report)) ...
#ifndef DAVODEV_HOSTING_JUDGED_EXCHANGE_H
#define DAVODEV_HOSTING_JUDGED_EXCHANGE_H

#include <cstdint>
#include <vector>

#include "analysis/exchange_report.h"
#include "host_api/davodev.h"

namespace kivhost {

class Session;

struct JudgedExchange {
    int32_t result = 0;  // the driver's
    double ms = 0;       // the call's
    ExchangeReport report;
};

// Session::Read, then its exchanges judged by reporter, which keeps what
// it learns of each station across calls.
JudgedExchange JudgedRead(Session& session, ExchangeReporter& reporter, const DriverAddress& address, int32_t count,
                          std::vector<uint16_t>* elements);
// Session::Write, judged the same way.
JudgedExchange JudgedWrite(Session& session, ExchangeReporter& reporter, const DriverAddress& address,
                           const std::vector<uint16_t>& elements);

}  // namespace kivhost

#endif  // DAVODEV_HOSTING_JUDGED_EXCHANGE_H
