#include "scan/scan_line.h"

#include "hosting/judged_exchange.h"
#include "scan/port_keeper.h"

namespace kivhost {

BlockOutcome ScanLine::Read(const ReadBlock& block)
{
    BlockOutcome outcome;
    const JudgedExchange done = JudgedRead(session_, reporter_, block.start, block.count, &outcome.elements);
    const ExchangeReport& report = done.report;
    outcome.result = done.result;
    outcome.ms = done.ms;
    outcome.reason = report.traced ? report.outcome : outcome.result == SUCCESS ? Outcome::Good : Outcome::NotSent;
    outcome.attempts = report.Attempts();
    outcome.possiblyLate = report.possiblyLate;
    outcome.checksumSuspect = report.checksumSuspect;
    outcome.doubt = report.doubt;
    outcome.checksumUnused = report.checksumUnused >= 0;
    outcome.answeringStation = report.answeringStation;
    outcome.portLost = port_ != nullptr && port_->Lost(report);
    outcome.stationHeard = report.stationHeard;
    outcome.stationNote = StationNote(report);
    if (outcome.result == RECOVERY_ERROR || outcome.doubt != Doubt::None)
        outcome.message = FailureMessage(report, "read of " + BlockName(block), block.start.station, timeoutMs_);
    return outcome;
}

void RunCycle(ScanEngine& engine, ScanLine& line, StopToken& stop, const AfterBlock& afterBlock)
{
    engine.BeginCycle(ScanMoment::Now());
    bool complete = true;
    for (;;) {
        if (stop.Requested()) {
            complete = false;
            break;
        }
        const std::optional<size_t> block = engine.NextBlock(ScanMoment::Now());
        if (!block)
            break;
        stop.SetBusy(true);
        const BlockOutcome outcome = line.Read(engine.Plan().blocks[*block]);
        stop.SetBusy(false);
        if (outcome.portLost) {
            complete = false;
            break;
        }
        engine.Record(*block, outcome, ScanMoment::Now());
        if (afterBlock)
            afterBlock(*block, outcome);
    }
    engine.EndCycle(ScanMoment::Now(), complete);
}

}  // namespace kivhost
