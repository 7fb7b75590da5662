#include "gate/status_line.h"

#include "common/tool_text.h"

namespace kivgate {

std::string StatusLine(const LineFacts& line, const StatusFacts& facts)
{
    static constexpr const char* BROKER[] = {"no MQTT", "MQTT not connected", "MQTT connected"};
    std::string text = line.port + (line.portLost ? " lost, " : ", ") + BROKER[static_cast<int>(facts.broker.load())];
    text += ", stations " + std::to_string(line.stationsUp) + " up " + std::to_string(line.stationsDown) + " down";
    text +=
        ", writes " + std::to_string(facts.writesDone) + " done " + std::to_string(facts.writesRefused) + " refused";
    if (const uint64_t failed = facts.writesFailed; failed > 0)
        text += " " + std::to_string(failed) + " failed";
    if (line.cycle > 0)
        text += ", cycle " + std::to_string(line.cycle) + kivhost::Printf(" %.0f ms", line.cycleMs);
    return text;
}

std::string CutToWidth(const std::string& text, size_t columns)
{
    // Characters, not bytes: a UTF-8 sequence is one lead byte and its continuations.
    auto isLead = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; };
    size_t characters = 0;
    for (char c : text)
        characters += isLead(c);
    if (characters <= columns)
        return text;
    if (columns == 0)
        return "";
    size_t kept = 0;
    size_t at = 0;
    for (; at < text.size(); ++at)
        if (isLead(text[at]) && kept++ == columns - 1)
            break;
    return text.substr(0, at) + "\u2026";
}

}  // namespace kivgate
