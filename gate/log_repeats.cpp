#include "gate/log_repeats.h"

#include <cctype>

namespace kivgate {

namespace {

// 1234567 as "1,234,567": counts are read by people.
std::string Thousands(uint64_t n)
{
    std::string digits = std::to_string(n);
    for (size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, ",");
    return digits;
}

}  // namespace

std::string LogRepeats::KindOf(const std::string& event)
{
    std::string kind;
    kind.reserve(event.size());
    for (size_t i = 0; i < event.size();) {
        size_t end = i;
        while (end < event.size() && std::isdigit(static_cast<unsigned char>(event[end])))
            ++end;
        if (end - i >= 3) {
            kind += '#';
            i = end;
        } else if (end > i) {
            kind.append(event, i, end - i);
            i = end;
        } else {
            kind += event[i++];
        }
    }
    return kind;
}

std::string LogRepeats::CountLine(const Window& window)
{
    return "\u2026 " + Thousands(window.suppressed) + " more like it in the last minute: " + window.last;
}

void LogRepeats::CloseExpired(Clock::time_point now, std::vector<std::string>* out)
{
    for (auto it = windows_.begin(); it != windows_.end();) {
        if (now - it->second.start < WINDOW) {
            ++it;
            continue;
        }
        if (it->second.suppressed > 0)
            out->push_back(CountLine(it->second));
        it = windows_.erase(it);
    }
}

std::vector<std::string> LogRepeats::Admit(const std::string& event, Clock::time_point now)
{
    std::vector<std::string> out;
    CloseExpired(now, &out);
    const std::string kind = KindOf(event);
    auto it = windows_.find(kind);
    if (it == windows_.end()) {
        if (windows_.size() >= KINDS_KEPT) {
            auto oldest = windows_.begin();
            for (auto w = windows_.begin(); w != windows_.end(); ++w)
                if (w->second.start < oldest->second.start)
                    oldest = w;
            if (oldest->second.suppressed > 0)
                out.push_back(CountLine(oldest->second));
            windows_.erase(oldest);
        }
        it = windows_.emplace(kind, Window{now, 0, 0, {}}).first;
    }
    Window& window = it->second;
    if (window.shown < SHOWN_PER_WINDOW) {
        ++window.shown;
        out.push_back(event);
    } else {
        ++window.suppressed;
        window.last = event;
    }
    return out;
}

std::vector<std::string> LogRepeats::Flush()
{
    std::vector<std::string> out;
    for (const auto& [kind, window] : windows_)
        if (window.suppressed > 0)
            out.push_back(CountLine(window));
    windows_.clear();
    return out;
}

}  // namespace kivgate
