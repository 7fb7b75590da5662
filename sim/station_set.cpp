#include "sim/station_set.h"

#include <cctype>

namespace plcsim {
namespace {

// Tells a bad checksum from other damage, for the record only.
bool ChecksumMatches(std::string_view frame)
{
    if (!frame.empty() && frame.back() == '\r')
        frame.remove_suffix(1);
    if (frame.size() < 3)
        return false;
    const std::string digits = Hex(FrameSum(frame.substr(1, frame.size() - 3)), 2);
    std::string sent(frame.substr(frame.size() - 2));
    for (char& c : sent)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return digits == sent;
}

std::vector<FaultKind> KindsOf(const std::vector<Fault>& faults)
{
    std::vector<FaultKind> kinds;
    for (const Fault& fault : faults)
        kinds.push_back(fault.kind);
    return kinds;
}

}  // namespace

StationSet::StationSet(const std::vector<int>& numbers, uint32_t seed) : rng_(seed)
{
    for (int station : numbers) {
        if (station < 0 || station > 0xFF)
            throw std::invalid_argument("station out of range: " + std::to_string(station));
        stations_[station];
    }
}

bool StationSet::Has(int station) const
{
    std::lock_guard lock(mutex_);
    return stations_.count(station) != 0;
}

std::vector<Fault> StationSet::DrawFaultsFor(StationState& state)
{
    std::vector<Fault> candidates = state.standing;
    if (!state.script.empty()) {
        auto& [fault, left] = state.script.front();
        candidates.push_back(fault);
        if (--left <= 0)
            state.script.pop_front();
    }
    return DrawFaults(candidates, rng_);
}

std::optional<Delivery> StationSet::Answer(Record& request)
{
    std::lock_guard lock(mutex_);
    const auto parsed = ParseRequest(request.bytes);
    if (!parsed) {
        request.note = ChecksumMatches(request.bytes) ? "malformed" : "bad checksum";
        return std::nullopt;
    }
    request.station = parsed->station;
    const auto it = stations_.find(parsed->station);
    if (it == stations_.end()) {
        request.note = "no such station";
        return std::nullopt;
    }
    const std::vector<Fault> faults = DrawFaultsFor(it->second);
    request.faults = KindsOf(faults);
    if (plcsim::Has(faults, FaultKind::Silent)) {
        request.note = "silent";
        return std::nullopt;
    }
    const auto reply = Execute(*parsed, it->second.memory);
    if (!reply) {
        request.note = "E is read-only";
        return std::nullopt;
    }
    Delivery delivery = ShapeReply(*reply, faults, rng_);
    if (delivery.pieces.empty()) {
        request.note = "reply dropped";
        return std::nullopt;
    }
    return delivery;
}

}  // namespace plcsim
