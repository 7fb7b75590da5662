// kivgate's status line on a terminal: the port, the broker, the stations
// and the writes, in one line. The line's owner knows the port and the
// stations and draws it after each cycle; what only the servers know (the
// broker, the writes they refused) is kept in StatusFacts by whichever
// thread learns it.
#ifndef KIVGATE_STATUS_LINE_H
#define KIVGATE_STATUS_LINE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kivgate {

enum class BrokerState { None, Away, Connected };

struct StatusFacts {
    std::atomic<BrokerState> broker{BrokerState::None};
    std::atomic<uint64_t> writesDone{0};
    std::atomic<uint64_t> writesRefused{0};  // by the gateway's rules, never sent
    std::atomic<uint64_t> writesFailed{0};   // taken, and not done: not sent in time, or not confirmed
};

struct LineFacts {
    std::string port;
    bool portLost = false;
    size_t stationsUp = 0;
    size_t stationsDown = 0;
    uint64_t cycle = 0;
    double cycleMs = 0;
};

// "ttyUSB0, MQTT connected, stations 3 up 1 down, writes 12 done 2 refused,
// cycle 1234 85 ms": what matters most first, so that a narrow terminal
// loses the least.
std::string StatusLine(const LineFacts& line, const StatusFacts& facts);

// text in at most columns characters, its end cut to "…" when it is longer:
// a status line that wraps could not be drawn again in place.
std::string CutToWidth(const std::string& text, size_t columns);

}  // namespace kivgate

#endif  // KIVGATE_STATUS_LINE_H
