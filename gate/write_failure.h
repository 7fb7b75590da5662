// Why a write was not done, told of the station it was meant for. The
// driver's verdict may rest on a reply another station gave, late, to an
// earlier request ("/N01..." during a write to station 2): that reply says
// nothing of this write and is never passed off as this station's answer.
#ifndef KIVGATE_WRITE_FAILURE_H
#define KIVGATE_WRITE_FAILURE_H

#include <cstdint>
#include <string>

#include "analysis/exchange_report.h"
#include "host_api/davodev.h"

namespace kivgate {

// text: the address as written, "02W0010"; result: the driver's.
std::string WriteFailure(const DriverAddress& address, const std::string& text, int32_t result,
                         const kivhost::ExchangeReport& report, uint32_t timeoutMs);

}  // namespace kivgate

#endif  // KIVGATE_WRITE_FAILURE_H
