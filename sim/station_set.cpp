#include "sim/station_set.h"

namespace plcsim {
namespace {

// Tells a bad checksum from other damage, for the record only: the
// checksum digits are where the fields end, so only a frame whose fields
// read has them.
const char* Refusal(std::string_view frame)
{
    const PconRequest decoded = kivhost::DecodeRequest(frame);
    return decoded.valid && !decoded.checksumOk ? "bad checksum" : "malformed";
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
        request.note = Refusal(request.bytes);
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
