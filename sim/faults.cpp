#include "sim/faults.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

#include "common/number_rules.h"
#include "sim/pcon_station.h"

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

// Bounds of what the command line may ask for: enough for any test of a
// frame of at most 2100 characters, and of a time-out of up to a minute.
constexpr int64_t MAX_BYTES = 65535;
constexpr int64_t MAX_MS = 3600000;

// Never "/" or CR, so noise cannot start or end a frame for the reader.
constexpr std::string_view JUNK = "#$%&*+-.:;<=>?@^_~";

// A probability: a decimal fraction from 0 to 1.
std::optional<double> ParseProbability(std::string_view text)
{
    // from_chars for double is in libstdc++ 11 and later.
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    if (!(value >= 0.0 && value <= 1.0))  // refuses NaN too
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

std::optional<Fault> ParseFault(std::string_view text, std::string* why)
{
    const auto refuse = [&](const std::string& reason) -> std::optional<Fault> {
        if (why != nullptr)
            *why = reason;
        return std::nullopt;
    };
    Fault fault;
    if (const size_t at = text.find('@'); at != std::string_view::npos) {
        const auto probability = ParseProbability(text.substr(at + 1));
        if (!probability)
            return refuse("the probability after @ is 0 to 1, e.g. @0.25");
        fault.probability = *probability;
        text = text.substr(0, at);
    }
    std::string_view value;
    const size_t eq = text.find('=');
    if (eq != std::string_view::npos) {
        value = text.substr(eq + 1);
        text = text.substr(0, eq);
    }
    const auto kind = FaultFromName(text);
    if (!kind)
        return refuse("no fault named \"" + std::string(text) + "\" (see the names in --help)");
    fault.kind = *kind;
    const std::string name(text);
    const bool hasValue = eq != std::string_view::npos;
    if (!hasValue) {
        if (fault.kind == FaultKind::Delay)
            return refuse("delay needs its milliseconds, e.g. delay=200");
        return fault;
    }

    std::string reason;
    const auto number = [&](std::string_view digits, int64_t low, int64_t high) -> std::optional<int> {
        const auto parsed = ParseNumber(digits, low, high, &reason);
        if (!parsed)
            return std::nullopt;
        return static_cast<int>(*parsed);
    };
    switch (fault.kind) {
    case FaultKind::Silent:
    case FaultKind::Corrupt:
    case FaultKind::Pace: return refuse(name + " takes no value");
    case FaultKind::Drop: {
        // The chance of losing the reply, on top of the chance that the fault
        // applies at all.
        const auto chance = ParseProbability(value);
        if (!chance)
            return refuse("drop=P takes a probability 0 to 1, e.g. drop=0.3");
        fault.probability *= *chance;
        return fault;
    }
    case FaultKind::WrongStation: {
        // Any station two hex digits can name, not only those of a line.
        const auto station = ParseStation(value, &reason, 1, 0xFF);
        if (!station)
            return refuse(reason);
        fault.value = *station;
        return fault;
    }
    case FaultKind::Nak: {
        const unsigned char c = value.size() == 1 ? static_cast<unsigned char>(value[0]) : 0;
        if (c <= 0x20 || c >= 0x7F || c == 'A')
            return refuse("nak=C takes one printable character other than A, e.g. nak=N");
        fault.value = c;
        return fault;
    }
    case FaultKind::Split: {
        if (const size_t slash = value.find('/'); slash != std::string_view::npos) {
            const auto pause = number(value.substr(slash + 1), 0, MAX_MS);
            if (!pause)
                return refuse("the pause " + reason);
            fault.pauseMs = *pause;
            value = value.substr(0, slash);
        }
        const auto pieces = number(value, 1, MAX_BYTES);
        if (!pieces)
            return refuse("the number of pieces " + reason);
        fault.value = *pieces;
        return fault;
    }
    case FaultKind::Delay: {
        const auto ms = number(value, 0, MAX_MS);
        if (!ms)
            return refuse("milliseconds: " + reason);
        fault.value = *ms;
        return fault;
    }
    case FaultKind::Truncate:
    case FaultKind::Extra:
    case FaultKind::Noise: {
        const auto count = number(value, 1, MAX_BYTES);
        if (!count)
            return refuse(reason);
        fault.value = *count;
        return fault;
    }
    }
    return refuse(name + " takes no value");
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
        const int addressed = HexValue(reply.substr(2, 2));
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
        if (reply[REPLY_DATA_START - 1] == 'W') {  // the echoed operand
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
        delivery.pause = std::chrono::milliseconds(std::max(fault->pauseMs, 0));
    }
    const size_t size = (reply.size() + pieces - 1) / pieces;
    for (size_t at = 0; at < reply.size(); at += size)
        delivery.pieces.push_back(reply.substr(at, size));
    return delivery;
}

}  // namespace plcsim
