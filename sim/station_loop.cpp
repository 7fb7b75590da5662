#include "sim/station_loop.h"

#include <algorithm>
#include <optional>

namespace plcsim {
namespace {

// Longer than the longest request (a write of 255 words is 1034 characters)
// with room to spare; past it the bytes cannot be a frame.
constexpr size_t MAX_FRAME = 2100;

// How long to wait before looking at a line that reported a failure again.
constexpr auto BACK_OFF = std::chrono::milliseconds(10);

}  // namespace

StationLoop::StationLoop(const Options& options, StationSet& stations, RecordLog& log, LineMirror& mirror,
                         const kivhost::StopToken& stop)
    : pace_(options.pace),
      charTime_(CharTime(options.format, options.baud)),
      stations_(stations),
      log_(log),
      mirror_(mirror),
      stop_(stop),
      replies_(charTime_)
{
}

void StationLoop::Serve(LineHandle line)
{
    line_ = line;
    readWaitMs_ = 0;
    inFrame_ = false;
    frame_.clear();
    char buffer[4096];
    while (!stop_.Requested()) {
        SendDue();
        size_t got = 0;
        const LineWait wait = ReadLine(replies_.NextDue(), buffer, sizeof buffer, &got);
        if (wait == LineWait::Stop)
            break;
        if (wait == LineWait::Bytes) {
            const auto now = Clock::now();
            mirror_.Copy(std::string_view(buffer, got));
            Feed(std::string_view(buffer, got), now);
            continue;
        }
        // A failing line would report its failure again at once, so back
        // off instead of spinning until the line comes back or we stop.
        if (wait == LineWait::Failed && !BackOff())
            break;
    }
    Finish(replies_.Abandon());
}

bool StationLoop::BackOff()
{
    auto until = Clock::now() + BACK_OFF;
    if (const auto due = replies_.NextDue())
        until = std::min(until, *due);
    return stop_.WaitUntil(until);
}

void StationLoop::Feed(std::string_view bytes, Clock::time_point now)
{
    for (char c : bytes) {
        // "/" occurs only at the start of a frame: whatever came before it
        // unterminated was noise or a frame cut short.
        if (c == '/') {
            frame_.assign(1, '/');  // not = "/": GCC 12 warns wrongly of an overlap there
            inFrame_ = true;
            frameStart_ = now;
            continue;
        }
        if (!inFrame_)
            continue;
        frame_ += c;
        if (c == '\r') {
            inFrame_ = false;
            Handle(frame_, now);
        } else if (frame_.size() > MAX_FRAME) {
            inFrame_ = false;
            Record record;
            record.bytes = frame_;
            record.note = "too long, discarded";
            record.start = frameStart_;
            record.end = now;
            log_.Publish(std::move(record));
            log_.CountRequest();
        }
    }
}

void StationLoop::Handle(const std::string& bytes, Clock::time_point end)
{
    Record request;
    request.bytes = bytes;
    request.start = frameStart_;
    request.end = end;
    std::optional<Delivery> delivery = stations_.Answer(request);
    const std::vector<FaultKind> faults = request.faults;
    const int station = request.station;
    log_.Publish(std::move(request));
    if (!delivery) {
        log_.CountRequest();
        return;
    }
    delivery->paced = delivery->paced || pace_;
    replies_.Add(*delivery, station, faults, end);
    // A reply due now goes before the next frame is read, as it always has.
    SendDue();
}

void StationLoop::SendDue()
{
    Finish(replies_.Send([this](std::string_view bytes) { return WriteAll(bytes); }));
}

void StationLoop::Finish(std::vector<SentReply> replies)
{
    for (SentReply& sent : replies) {
        if (sent.started || !sent.whole) {
            Record reply;
            reply.direction = Record::Direction::Reply;
            reply.station = sent.station;
            reply.faults = std::move(sent.faults);
            reply.bytes = std::move(sent.bytes);
            reply.start = sent.start;
            reply.end = sent.end;
            if (!sent.whole)
                reply.note = stop_.Requested() ? "cut short by stop" : "line failed";
            log_.Publish(std::move(reply));
        }
        log_.CountRequest();
    }
}

bool StationLoop::WriteAll(std::string_view bytes)
{
    while (!bytes.empty()) {
        size_t written = 0;
        if (!WriteSome(bytes, &written))
            return false;
        mirror_.Copy(bytes.substr(0, written));
        bytes.remove_prefix(written);
    }
    return true;
}

}  // namespace plcsim
