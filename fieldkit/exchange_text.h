// An exchange of read, write and poll as people and scripts are shown it:
// its time, why it failed, and what the driver's traces showed of it.
#ifndef DAVODEV_FIELDKIT_EXCHANGE_TEXT_H
#define DAVODEV_FIELDKIT_EXCHANGE_TEXT_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "analysis/exchange_report.h"
#include "common/json_object.h"
#include "host_api/davodev.h"

namespace kivhost {

// "0.42 ms", "12 ms": exchanges over a short line take well under a
// millisecond.
std::string Ms(double ms);

// Good by the driver and by kivhost's reading of its traces.
bool ExchangeGood(int32_t result, const ExchangeReport& report);

// What a failed or doubted read or write means, for the one-line message.
std::string ExchangeFailure(const DriverAddress& address, const std::string& text, bool write, int32_t result,
                            const ExchangeReport& report, uint32_t timeoutMs);
// ", 2 attempts (1 no reply)" or "".
std::string AttemptsClause(const ExchangeReport& report);
// "Note: ..." under a good exchange the traces have doubts about.
void PrintNotes(FILE* out, const ExchangeReport& report);

// The fields an exchange's document ends with: what the traces showed of
// it, and for a failure its reason (an outcome name, "bad-data", or
// "rejected") and
// failure, its one-line message.
JsonObject& ExchangeJson(JsonObject& json, int32_t result, const ExchangeReport& report, const std::string& failure);

}  // namespace kivhost

#endif  // DAVODEV_FIELDKIT_EXCHANGE_TEXT_H
