// Bounds kivgate's log: a line that comes again and again (a client that
// reconnects in a loop, descriptors running out, a flapping station) is
// written a few times a minute and then counted, not repeated.
#ifndef KIVGATE_LOG_REPEATS_H
#define KIVGATE_LOG_REPEATS_H

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kivgate {

class LogRepeats {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int SHOWN_PER_WINDOW = 5;  // of one kind, before the rest are counted
    static constexpr std::chrono::seconds WINDOW{60};
    static constexpr size_t KINDS_KEPT = 256;  // kinds remembered at once; the oldest go first

    // The lines to write for this event, in order: the count of an earlier
    // kind whose minute is over ("… 1,234 more like it in the last minute:
    // EVENT"), then the event itself unless it is one too many.
    std::vector<std::string> Admit(const std::string& event, Clock::time_point now);
    // The counts still held, for the end of a run.
    std::vector<std::string> Flush();

    // Lines of one kind differ only in their numbers of three digits or
    // more (ports, descriptors, counts): station numbers stay apart.
    static std::string KindOf(const std::string& event);

private:
    struct Window {
        Clock::time_point start;
        int shown = 0;
        uint64_t suppressed = 0;
        std::string last;  // the last line counted, to name the kind by
    };
    static std::string CountLine(const Window& window);
    void CloseExpired(Clock::time_point now, std::vector<std::string>* out);

    std::map<std::string, Window> windows_;
};

}  // namespace kivgate

#endif  // KIVGATE_LOG_REPEATS_H
