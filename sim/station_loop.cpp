#include "station_loop.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace plcsim {
namespace {

// Longer than the longest request (a write of 255 words is 1034 characters)
// with room to spare; past it the bytes cannot be a frame.
constexpr size_t MAX_FRAME = 2100;

// How long to wait before looking at a line that reported a failure again.
constexpr auto BACK_OFF = std::chrono::milliseconds(10);

// ppoll's timeout until deadline: none without one, zero once it is past.
const timespec* TimeoutUntil(std::optional<Clock::time_point> deadline, timespec& timeout)
{
    if (!deadline)
        return nullptr;
    const auto left = std::max(Clock::duration::zero(), *deadline - Clock::now());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
    timeout = {static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
    return &timeout;
}

}  // namespace

StationLoop::StationLoop(const Options& options, StationSet& stations, RecordLog& log, LineMirror& mirror,
                         const StopRequest& stop)
    : pace_(options.pace),
      stations_(stations),
      log_(log),
      mirror_(mirror),
      stop_(stop),
      replies_(CharTime(options.format, options.baud))
{
}

void StationLoop::Serve(int lineFd)
{
    lineFd_ = lineFd;
    inFrame_ = false;
    frame_.clear();
    char buffer[4096];
    while (!stop_.Raised()) {
        SendDue();
        pollfd fds[2] = {{lineFd_, POLLIN, 0}, {stop_.Fd(), POLLIN, 0}};
        timespec timeout{};
        const int ready = ppoll(fds, 2, TimeoutUntil(replies_.NextDue(), timeout), nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            if (!BackOff())
                break;
            continue;
        }
        if (fds[1].revents != 0)
            break;
        if (ready == 0)
            continue;  // a reply's time has come
        if (fds[0].revents & POLLIN) {
            const ssize_t n = read(lineFd_, buffer, sizeof buffer);
            if (n > 0) {
                const auto now = Clock::now();
                mirror_.Copy(std::string_view(buffer, n));
                Feed(std::string_view(buffer, n), now);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
        }
        // Hang-up or a failing device: poll would report it again at once, so
        // back off instead of spinning until the line comes back or we stop.
        if (!BackOff())
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
            frame_ = "/";
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
                reply.note = stop_.Raised() ? "cut short by stop" : "line failed";
            log_.Publish(std::move(reply));
        }
        log_.CountRequest();
    }
}

bool StationLoop::WriteAll(std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = write(lineFd_, bytes.data(), bytes.size());
        if (n > 0) {
            mirror_.Copy(bytes.substr(0, n));
            bytes.remove_prefix(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return false;
        pollfd fds[2] = {{lineFd_, POLLOUT, 0}, {stop_.Fd(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            return false;
        if (fds[1].revents != 0)
            return false;
    }
    return true;
}

}  // namespace plcsim
