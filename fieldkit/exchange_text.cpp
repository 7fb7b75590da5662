#include "fieldkit/exchange_text.h"

namespace kivhost {

std::string Ms(double ms)
{
    char text[64];
    std::snprintf(text, sizeof text, ms < 10 ? "%.2f ms" : "%.0f ms", ms);
    return text;
}

bool ExchangeGood(int32_t result, const ExchangeReport& report)
{
    return JudgedGood(result == SUCCESS, report.doubt);
}

std::string ExchangeFailure(const DriverAddress& address, const std::string& text, bool write, int32_t result,
                            const ExchangeReport& report, uint32_t timeoutMs)
{
    const std::string what = write ? "write" : "read";
    if (result == REJECTED && write && address.operand == 'E')
        return "the driver does not write E operands, which are the PLC's inputs (REJECTED); write W, B or A instead";
    if (result == REJECTED)
        return "the driver rejected the " + what + " of " + text + " (REJECTED)";
    return FailureMessage(report, what + " of " + text, address.station, timeoutMs);
}

std::string AttemptsClause(const ExchangeReport& report)
{
    const std::string attempts = AttemptsText(report);
    return attempts.empty() ? "" : ", " + attempts;
}

void PrintNotes(FILE* out, const ExchangeReport& report)
{
    if (const std::string notes = SuccessNotes(report); !notes.empty())
        std::fprintf(out, "Note: %s\n", notes.c_str());
}

JsonObject& ExchangeJson(JsonObject& json, int32_t result, const ExchangeReport& report, const std::string& failure)
{
    json.Number("attempts", report.Attempts())
        .Texts("outcomes", OutcomeNames(report))
        .Bool("possibly_late", report.possiblyLate)
        .Bool("checksum_suspect", report.checksumSuspect);
    if (ExchangeGood(result, report))
        return json;
    const std::string reason = result == REJECTED ? "rejected" : report.traced ? ReasonName(report) : "unknown";
    return json.Text("reason", reason).Text("message", failure);
}

}  // namespace kivhost
