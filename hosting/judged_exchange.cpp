#include "hosting/judged_exchange.h"

#include "hosting/session.h"

namespace kivhost {
namespace {

JudgedExchange Judged(Session& session, ExchangeReporter& reporter, int32_t result)
{
    JudgedExchange done;
    done.result = result;
    done.ms = session.LastMs();
    done.report = reporter.Report(session.LastExchanges());
    return done;
}

}  // namespace

JudgedExchange JudgedRead(Session& session, ExchangeReporter& reporter, const DriverAddress& address, int32_t count,
                          std::vector<uint16_t>* elements)
{
    return Judged(session, reporter, session.Read(address, count, elements));
}

JudgedExchange JudgedWrite(Session& session, ExchangeReporter& reporter, const DriverAddress& address,
                           const std::vector<uint16_t>& elements)
{
    return Judged(session, reporter, session.Write(address, elements));
}

}  // namespace kivhost
