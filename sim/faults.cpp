#include "faults.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

#include "pcon_station.h"

namespace plcsim {

namespace {

struct FaultEntry {
    FaultKind kind;
    const char* name;
};

constexpr std::array<FaultEntry, 11> FAULT_NAMES{{
    {FaultKind::Silent, "silent"},
    {FaultKind::Drop, "drop"},
    {FaultKind::WrongStation, "wrong"},
    {FaultKind::Nak, "nak"},
    {FaultKind::Truncate, "truncate"},
    {FaultKind::Extra, "extra"},
    {FaultKind::Noise, "noise"},
    {FaultKind::Delay, "delay"},
    {FaultKind::Split, "split"},
    {FaultKind::Corrupt, "corrupt"},
    {FaultKind::Pace, "pace"},
}};

// Never "/" or CR, so noise cannot start or end a frame for the reader.
constexpr std::string_view JUNK = "#$%&*+-.:;<=>?@^_~";

std::optional<int> ParseInt(std::string_view text)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0)
        return std::nullopt;
    return value;
}

std::optional<double> ParseProbability(std::string_view text)
{
    // from_chars for double is in libstdc++ 11 and later.
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    if (value < 0.0 || value > 1.0)
        return std::nullopt;
    return value;
}

// A uniform draw in [0, 1) straight from the generator, so a seed gives the
// same sequence whatever the standard library.
double Uniform(std::mt19937& rng)
{
    return rng() / 4294967296.0;
}

std::string Junk(int count, std::mt19937& rng)
{
    std::string bytes;
    for (int i = 0; i < count; ++i)
        bytes += JUNK[rng() % JUNK.size()];
    return bytes;
}

int HexNibble(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return 0;
}

int ValueOr(const Fault& fault, int fallback)
{
    return fault.value > 0 ? fault.value : fallback;
}

const Fault* Find(const std::vector<Fault>& faults, FaultKind kind)
{
    for (const Fault& fault : faults) {
        if (fault.kind == kind)
            return &fault;
    }
    return nullptr;
}

}  // namespace

const char* FaultName(FaultKind kind)
{
    for (const auto& entry : FAULT_NAMES) {
        if (entry.kind == kind)
            return entry.name;
    }
    return "?";
}

std::optional<FaultKind> FaultFromName(std::string_view name)
{
    for (const auto& entry : FAULT_NAMES) {
        if (name == entry.name)
            return entry.kind;
    }
    return std::nullopt;
}

std::optional<Fault> ParseFault(std::string_view text)
{
    Fault fault;
    if (const size_t at = text.find('@'); at != std::string_view::npos) {
        const auto probability = ParseProbability(text.substr(at + 1));
        if (!probability)
            return std::nullopt;
        fault.probability = *probability;
        text = text.substr(0, at);
    }
    std::string_view value;
    if (const size_t eq = text.find('='); eq != std::string_view::npos) {
        value = text.substr(eq + 1);
        text = text.substr(0, eq);
    }
    const auto kind = FaultFromName(text);
    if (!kind)
        return std::nullopt;
    fault.kind = *kind;
    if (value.empty())
        return fault;

    if (fault.kind == FaultKind::Drop) {
        const auto probability = ParseProbability(value);
        if (!probability)
            return std::nullopt;
        fault.probability = *probability;
        return fault;
    }
    if (fault.kind == FaultKind::Split) {
        if (const size_t slash = value.find('/'); slash != std::string_view::npos) {
            const auto pause = ParseInt(value.substr(slash + 1));
            if (!pause)
                return std::nullopt;
            fault.pauseMs = *pause;
            value = value.substr(0, slash);
        }
    }
    if (fault.kind == FaultKind::Nak && value.size() == 1) {
        fault.value = static_cast<unsigned char>(value[0]);
        return fault;
    }
    const auto number = ParseInt(value);
    if (!number)
        return std::nullopt;
    fault.value = *number;
    return fault;
}

int CharFormat::BitsPerChar() const
{
    return 1 + dataBits + (parity == 'N' ? 0 : 1) + stopBits;
}

std::optional<CharFormat> ParseCharFormat(std::string_view text)
{
    if (text.size() != 3)
        return std::nullopt;
    CharFormat format;
    format.dataBits = text[0] - '0';
    format.parity = static_cast<char>(std::toupper(static_cast<unsigned char>(text[1])));
    format.stopBits = text[2] - '0';
    if (format.dataBits < 5 || format.dataBits > 8)
        return std::nullopt;
    if (format.parity != 'N' && format.parity != 'E' && format.parity != 'O')
        return std::nullopt;
    if (format.stopBits != 1 && format.stopBits != 2)
        return std::nullopt;
    return format;
}

bool Has(const std::vector<Fault>& faults, FaultKind kind)
{
    return Find(faults, kind) != nullptr;
}

std::vector<Fault> DrawFaults(const std::vector<Fault>& candidates, std::mt19937& rng)
{
    std::vector<Fault> applied;
    for (const Fault& fault : candidates) {
        // Always draw, so one fault's setting does not shift another's sequence.
        if (Uniform(rng) < fault.probability)
            applied.push_back(fault);
    }
    return applied;
}

Delivery ShapeReply(std::string reply, const std::vector<Fault>& faults, std::mt19937& rng)
{
    Delivery delivery;
    if (Has(faults, FaultKind::Silent) || Has(faults, FaultKind::Drop))
        return delivery;

    if (const Fault* fault = Find(faults, FaultKind::WrongStation)) {
        const int addressed = HexNibble(reply[2]) * 16 + HexNibble(reply[3]);
        const int claimed = fault->value > 0 ? fault->value : (addressed + 1) & 0xFF;
        reply.replace(2, 2, Hex(claimed, 2));
        FixReplyChecksum(reply);
    }
    if (const Fault* fault = Find(faults, FaultKind::Nak)) {
        reply[1] = static_cast<char>(ValueOr(*fault, 'N'));
        FixReplyChecksum(reply);
    }
    if (Has(faults, FaultKind::Corrupt) && reply.size() > REPLY_OVERHEAD) {
        const size_t at = REPLY_DATA_START + rng() % (reply.size() - REPLY_OVERHEAD);
        if (reply[5] == 'W') {
            reply[at] = 'G';
        } else {
            reply[at] = reply[at] == '1' ? '0' : '1';
        }
    }
    if (const Fault* fault = Find(faults, FaultKind::Truncate)) {
        reply.resize(std::min<size_t>(reply.size(), ValueOr(*fault, 5)));
    }
    if (const Fault* fault = Find(faults, FaultKind::Noise)) {
        reply = Junk(ValueOr(*fault, 3), rng) + reply;
    }
    if (const Fault* fault = Find(faults, FaultKind::Extra)) {
        reply += Junk(ValueOr(*fault, 3), rng);
    }

    if (const Fault* fault = Find(faults, FaultKind::Delay)) {
        delivery.delay = std::chrono::milliseconds(fault->value);
    }
    delivery.paced = Has(faults, FaultKind::Pace);
    if (reply.empty())
        return delivery;
    size_t pieces = 1;
    if (const Fault* fault = Find(faults, FaultKind::Split)) {
        pieces = std::clamp<size_t>(ValueOr(*fault, 2), 1, std::max<size_t>(reply.size(), 1));
        delivery.pause = std::chrono::milliseconds(fault->pauseMs > 0 ? fault->pauseMs : 20);
    }
    const size_t size = (reply.size() + pieces - 1) / pieces;
    for (size_t at = 0; at < reply.size(); at += size)
        delivery.pieces.push_back(reply.substr(at, size));
    return delivery;
}

}  // namespace plcsim
