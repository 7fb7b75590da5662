#include "station_loop.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "reply_pacing.h"

namespace plcsim {
namespace {

// Longer than the longest request (a write of 255 words is 1034 characters)
// with room to spare; past it the bytes cannot be a frame.
constexpr size_t MAX_FRAME = 2100;

// How long to wait before looking at a line that reported a failure again.
constexpr auto BACK_OFF = std::chrono::milliseconds(10);

}  // namespace

StationLoop::StationLoop(const Options& options, StationSet& stations, RecordLog& log, LineMirror& mirror,
                         const StopRequest& stop)
    : pace_(options.pace),
      charTime_(CharTime(options.format, options.baud)),
      stations_(stations),
      log_(log),
      mirror_(mirror),
      stop_(stop)
{
}

void StationLoop::Serve(int lineFd)
{
    lineFd_ = lineFd;
    inFrame_ = false;
    frame_.clear();
    char buffer[4096];
    while (!stop_.Raised()) {
        pollfd fds[2] = {{lineFd_, POLLIN, 0}, {stop_.Fd(), POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            if (!stop_.WaitUntil(Clock::now() + BACK_OFF))
                return;
            continue;
        }
        if (fds[1].revents != 0)
            return;
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
        if (!stop_.WaitUntil(Clock::now() + BACK_OFF))
            return;
    }
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
    if (delivery) {
        delivery->paced = delivery->paced || pace_;
        Send(*delivery, station, faults);
    }
    log_.CountRequest();
}

void StationLoop::Send(const Delivery& delivery, int station, const std::vector<FaultKind>& faults)
{
    const SentReply sent =
        SendReply(delivery, charTime_, stop_, [this](std::string_view bytes) { return WriteAll(bytes); });
    if (!sent.started && sent.whole)
        return;
    Record reply;
    reply.direction = Record::Direction::Reply;
    reply.station = station;
    reply.faults = faults;
    reply.bytes = sent.bytes;
    reply.start = sent.start;
    reply.end = sent.end;
    if (!sent.whole)
        reply.note = stop_.Raised() ? "cut short by stop" : "line failed";
    log_.Publish(std::move(reply));
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
