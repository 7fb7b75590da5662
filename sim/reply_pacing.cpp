#include "sim/reply_pacing.h"

#include <algorithm>

namespace plcsim {

std::chrono::nanoseconds CharTime(const CharFormat& format, int baud)
{
    return std::chrono::nanoseconds(static_cast<int64_t>(format.BitsPerChar() * 1e9 / baud));
}

void ReplyQueue::Add(const Delivery& delivery, int station, const std::vector<FaultKind>& faults,
                     Clock::time_point heard)
{
    Pending reply;
    reply.delivery = delivery;
    reply.due = heard + delivery.delay;
    reply.sent.station = station;
    reply.sent.faults = faults;
    replies_.push_back(std::move(reply));
}

std::optional<Clock::time_point> ReplyQueue::NextDue() const
{
    if (replies_.empty())
        return std::nullopt;
    if (onLine_)
        return replies_.front().due;
    const auto first = std::min_element(replies_.begin(), replies_.end(),
                                        [](const Pending& a, const Pending& b) { return a.due < b.due; });
    return first->due;
}

bool ReplyQueue::TakeLine(Clock::time_point now)
{
    if (onLine_)
        return true;
    // min_element keeps the first of equals: the earlier request goes first.
    const auto first = std::min_element(replies_.begin(), replies_.end(),
                                        [](const Pending& a, const Pending& b) { return a.due < b.due; });
    if (first == replies_.end() || first->due > now)
        return false;
    std::rotate(replies_.begin(), first, first + 1);
    onLine_ = true;
    return true;
}

std::vector<SentReply> ReplyQueue::Send(const Write& write)
{
    std::vector<SentReply> finished;
    while (TakeLine(Clock::now()) && replies_.front().due <= Clock::now()) {
        Pending& reply = replies_.front();
        if (!Advance(reply, write))
            continue;
        if (!reply.sent.started)
            reply.sent.start = Clock::now();
        reply.sent.end = Clock::now();
        finished.push_back(std::move(reply.sent));
        replies_.erase(replies_.begin());
        onLine_ = false;
    }
    return finished;
}

bool ReplyQueue::Advance(Pending& reply, const Write& write)
{
    const Delivery& delivery = reply.delivery;
    if (reply.piece >= delivery.pieces.size())
        return true;
    const auto wrote = [&](std::string_view bytes) {
        if (!write(bytes))
            return reply.sent.whole = false;
        if (!reply.sent.started)
            reply.sent.start = Clock::now();
        reply.sent.started = true;
        reply.sent.bytes += bytes;
        return true;
    };
    const std::string& piece = delivery.pieces[reply.piece];
    if (!reply.inPiece) {
        reply.inPiece = true;
        reply.at = 0;
        if (delivery.paced) {
            // Each byte leaves when a real line would have finished carrying it.
            reply.due = Clock::now() + charTime_;
            return false;
        }
    }
    if (!delivery.paced) {
        if (!wrote(piece))
            return true;
        reply.at = piece.size();
    } else {
        // Behind time, the bytes catch up as a line's buffer would send them.
        while (reply.at < piece.size() && reply.due <= Clock::now()) {
            if (!wrote(std::string_view(&piece[reply.at], 1)))
                return true;
            ++reply.at;
            reply.due += charTime_;
        }
        if (reply.at < piece.size())
            return false;
    }
    reply.inPiece = false;
    if (++reply.piece >= delivery.pieces.size())
        return true;
    reply.due = Clock::now() + delivery.pause;
    return false;
}

std::vector<SentReply> ReplyQueue::Abandon()
{
    std::vector<SentReply> ended;
    for (Pending& reply : replies_) {
        if (!reply.sent.started)
            reply.sent.start = Clock::now();
        reply.sent.end = Clock::now();
        reply.sent.whole = false;
        ended.push_back(std::move(reply.sent));
    }
    replies_.clear();
    onLine_ = false;
    return ended;
}

}  // namespace plcsim
