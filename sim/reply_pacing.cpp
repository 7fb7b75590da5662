#include "reply_pacing.h"

namespace plcsim {

std::chrono::nanoseconds CharTime(const CharFormat& format, int baud)
{
    return std::chrono::nanoseconds(static_cast<int64_t>(format.BitsPerChar() * 1e9 / baud));
}

SentReply SendReply(const Delivery& delivery, std::chrono::nanoseconds charTime, const StopRequest& stop,
                    const std::function<bool(std::string_view)>& write)
{
    SentReply sent;
    const auto wrote = [&](std::string_view bytes) {
        if (!write(bytes))
            return false;
        if (!sent.started)
            sent.start = Clock::now();
        sent.started = true;
        sent.bytes += bytes;
        return true;
    };
    bool whole = stop.WaitUntil(Clock::now() + delivery.delay);
    for (size_t i = 0; whole && i < delivery.pieces.size(); ++i) {
        if (i > 0)
            whole = stop.WaitUntil(Clock::now() + delivery.pause);
        if (!whole)
            break;
        if (!delivery.paced) {
            whole = wrote(delivery.pieces[i]);
            continue;
        }
        // Each byte leaves when a real line would have finished carrying it.
        auto due = Clock::now();
        for (char c : delivery.pieces[i]) {
            due += charTime;
            whole = stop.WaitUntil(due) && wrote(std::string_view(&c, 1));
            if (!whole)
                break;
        }
    }
    if (!sent.started)
        sent.start = Clock::now();
    sent.end = Clock::now();
    sent.whole = whole;
    return sent;
}

}  // namespace plcsim
