// The line owner's writes: taken from the queue between blocks, checked
// once more right before they are sent, and read back before they are
// answered.
#include <algorithm>

#include "common/tool_text.h"
#include "fieldkit/exchange_text.h"
#include "gate/line_owner.h"
#include "gate/write_failure.h"
#include "hosting/judged_exchange.h"
#include "hosting/session.h"
#include "wire/address_area.h"

namespace kivgate {

void LineOwner::DoWrites()
{
    LogDropped();
    // Those queued now: a client that keeps writing cannot hold the scan up.
    for (int left = 16; left > 0 && !stop_->Requested(); --left) {
        std::optional<WriteQueue::Pending> pending = writes_.Take();
        if (!pending)
            return;
        stop_->SetBusy(true);
        WriteResult result = Write(pending->request);
        stop_->SetBusy(false);
        ++(result.done ? writesDone_ : writesFailed_);
        // The rest of a request that failed part-way are not sent.
        if (!result.done)
            writes_.Withdraw(pending->request.batch, "an earlier part of the same request failed");
        // What the write changed (values read back, a port lost) is served
        // before its requester hears of it.
        Publish(false);
        const WriteRequest& request = pending->request;
        ++(result.done ? log_.Facts().writesDone : log_.Facts().writesFailed);
        // Sent and not confirmed leaves the station in doubt; not sent changed nothing.
        log_.Log(result.done || !result.sent ? LogLevel::Info : LogLevel::Warn, "write to " + TagName(request.tag) +
                                                                                    " from " + request.from +
                                                                                    (result.done   ? " done: "
                                                                                     : result.sent ? " failed: "
                                                                                                   : " not sent: ") +
                                                                                    result.message);
        writes_.Finish(*pending, std::move(result));
        LogDropped();
    }
}

std::string LineOwner::TagName(size_t tag) const
{
    return tag < tags_.size() ? tags_[tag].tag.name : "tag " + std::to_string(tag) + " (no such tag)";
}

void LineOwner::LogDropped()
{
    for (const WriteQueue::Dropped& dropped : writes_.TakeDropped()) {
        ++log_.Facts().writesFailed;
        log_("write to " + TagName(dropped.request.tag) + " from " + dropped.request.from +
             " not sent: " + dropped.result.message);
    }
}

WriteResult LineOwner::Write(const WriteRequest& request)
{
    if (request.tag >= tags_.size())
        return {false, "no such tag", false};
    // The checks the queue made when it took the write, made again now: the
    // station may have gone down, or the line been busy, since.
    if (!refusals_[request.tag].empty())
        return {false, refusals_[request.tag], false};
    if (request.deadline != SteadyTime{} && std::chrono::steady_clock::now() >= request.deadline)
        return {false, NotSentInTime(writes_.Timeout()), false};
    const GateTag& gate = tags_[request.tag];
    const kivhost::Tag& tag = gate.tag;
    if (request.values.empty() || request.offset + request.values.size() > static_cast<size_t>(tag.count))
        return {false, "the values do not fit the tag's " + std::to_string(tag.count) + " elements", false};
    if (tag.kind == kivhost::ValueKind::Bit)
        for (uint16_t value : request.values)
            if (value > 1)
                return {false, "a bit is 0 or 1, not " + std::to_string(value), false};
    DriverAddress address = tag.address;
    if (request.offset > 0)
        address.number = kivhost::ElementNumber(address.operand,
                                                kivhost::ElementIndex(address) + static_cast<int32_t>(request.offset));
    const std::string text = kivhost::ElementAddress(address, 0);
    const kivhost::JudgedExchange done = kivhost::JudgedWrite(session_, reporter_, address, request.values);
    const int32_t result = done.result;
    const double ms = done.ms;
    const kivhost::ExchangeReport& report = done.report;
    port_.Lost(report);
    // Acknowledged by another station, or doubted, is not done. Refused by
    // the driver, or by the port on every attempt, it never left.
    const bool left =
        result != REJECTED &&
        (!report.traced || std::any_of(report.outcomes.begin(), report.outcomes.end(),
                                       [](kivhost::Outcome o) { return o != kivhost::Outcome::NotSent; }));
    if (!kivhost::ExchangeGood(result, report))
        return {false, WriteFailure(address, text, result, report, line_.TimeoutMs()), left};
    ReadBack(request);
    return {true,
            std::to_string(request.values.size()) + (request.values.size() == 1 ? " value" : " values") + " to " +
                text + " acknowledged in " + kivhost::Ms(ms),
            true};
}

void LineOwner::ReadBack(const WriteRequest& request)
{
    const kivhost::ReadPlan& plan = engine_.Plan();
    const kivhost::TagPlace& place = plan.places[request.tag];
    const kivhost::ReadBlock& home = plan.blocks[place.block];
    // The elements written, as places in the operand's area; a bit of a
    // word changes its word.
    const int32_t count = static_cast<int32_t>(request.values.size());
    const int32_t offset = static_cast<int32_t>(request.offset);
    int32_t first = kivhost::ElementIndex(home.start) + place.offset;
    int32_t end = 0;
    if (place.bit == NO_BIT) {
        first += offset;
        end = first + count;
    } else {
        end = first + (place.bit + offset + count + 15) / 16;
    }
    for (size_t block = 0; block < plan.blocks.size(); ++block) {
        const kivhost::ReadBlock& read = plan.blocks[block];
        const int32_t from = kivhost::ElementIndex(read.start);
        if (read.start.station != home.start.station || read.start.operand != home.start.operand || from >= end ||
            first >= from + read.count)
            continue;
        stop_->SetBusy(true);
        const kivhost::BlockOutcome outcome = scanLine_.Read(read);
        stop_->SetBusy(false);
        if (outcome.portLost)
            break;
        engine_.Record(block, outcome, kivhost::ScanMoment::Now());
        AfterBlock(block, outcome);
    }
    LogEvents();
}

}  // namespace kivgate
