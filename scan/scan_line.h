// The scan's line: ScanLine reads a block through the driver and judges it
// from the driver's traces; RunCycle joins it to the engine.
//
//   ScanEngine engine(tags, PlanReads(tags, maxGap), settings);
//   ScanLine line(session, reporter, timeoutMs);
//   for (;;) { RunCycle(engine, line, stop); ... engine.Tags(), engine.Cycle() ... }
#ifndef DAVODEV_SCAN_LINE_H
#define DAVODEV_SCAN_LINE_H

#include <cstdint>
#include <functional>

#include "analysis/exchange_report.h"
#include "common/stop_token.h"
#include "scan/scan_engine.h"

namespace kivhost {

class PortKeeper;
class Session;

// Block reads through the driver, judged from its traces as read and poll
// judge theirs.
class ScanLine {
public:
    // port, if given, is told of each read and judges whether the port failed.
    ScanLine(Session& session, ExchangeReporter& reporter, uint32_t timeoutMs, PortKeeper* port = nullptr)
        : session_(session), reporter_(reporter), timeoutMs_(timeoutMs), port_(port)
    {
    }
    BlockOutcome Read(const ReadBlock& block);

private:
    Session& session_;
    ExchangeReporter& reporter_;
    uint32_t timeoutMs_;
    PortKeeper* port_;
};

// One cycle: the blocks due, read one after the other until done, until a
// stop is asked for or until the port fails (the cycle is then not complete
// and the failed read not recorded); the token is busy while the driver is
// in an exchange, for a stop signal to see. The cycle's figures are in
// engine.Cycle(). afterBlock, if given, sees each read recorded, and may use
// the line before the next (a gateway's writes go between blocks).
using AfterBlock = std::function<void(size_t block, const BlockOutcome& outcome)>;
void RunCycle(ScanEngine& engine, ScanLine& line, StopToken& stop, const AfterBlock& afterBlock = {});

}  // namespace kivhost

#endif  // DAVODEV_SCAN_LINE_H
