// The stations on the line: each one's memory and faults, and the generator
// every fault is drawn with, under one lock; and the answer to a request,
// decided under it.
#ifndef DAVODEV_PLCSIM_STATION_SET_H
#define DAVODEV_PLCSIM_STATION_SET_H

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "sim/faults.h"
#include "sim/pcon_station.h"
#include "sim/plc_simulator.h"
#include "sim/sim_threads.h"

namespace plcsim {

struct StationState {
    Memory memory;
    std::vector<Fault> standing;
    std::deque<std::pair<Fault, int>> script;  // fault, requests left
};

class StationSet {
public:
    // Throws std::invalid_argument for a number outside 0 to 255.
    StationSet(const std::vector<int>& numbers, uint32_t seed);

    bool Has(int station) const;

    // Runs use on the station's state under the lock; std::out_of_range
    // when the station is not on the line.
    template <typename Use>
    decltype(auto) With(int station, Use&& use)
    {
        return WithIn(*this, station, std::forward<Use>(use));
    }
    template <typename Use>
    decltype(auto) With(int station, Use&& use) const
    {
        return WithIn(*this, station, std::forward<Use>(use));
    }

    // Executes the request and decides what goes back, drawing its
    // station's faults; fills in its station and faults. Empty, with the
    // request's note saying why, when nothing goes back.
    std::optional<Delivery> Answer(Record& request);

private:
    template <typename Self, typename Use>
    static decltype(auto) WithIn(Self& self, int station, Use&& use)
    {
        std::lock_guard lock(self.mutex_);
        const auto it = self.stations_.find(station);
        if (it == self.stations_.end())
            throw std::out_of_range("no station " + std::to_string(station));
        return use(it->second);
    }

    std::vector<Fault> DrawFaultsFor(StationState& state);

    mutable Mutex mutex_;
    std::map<int, StationState> stations_;
    std::mt19937 rng_;
};

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_STATION_SET_H
