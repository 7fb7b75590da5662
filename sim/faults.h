// How faults turn a station's reply into what goes on the line. Pure, so the
// shapes can be checked without a line; the timing is carried out by the
// simulator's sender.
#ifndef DAVODEV_PLCSIM_FAULTS_H
#define DAVODEV_PLCSIM_FAULTS_H

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "sim/plc_simulator.h"

namespace plcsim {

struct Delivery {
    std::vector<std::string> pieces;  // none: nothing is sent
    std::chrono::milliseconds delay{0};
    std::chrono::milliseconds pause{0};  // between pieces
    bool paced = false;
};

bool Has(const std::vector<Fault>& faults, FaultKind kind);

// Draws which of the candidates apply this time, in order.
std::vector<Fault> DrawFaults(const std::vector<Fault>& candidates, std::mt19937& rng);

// reply is a well-formed reply from Execute.
Delivery ShapeReply(std::string reply, const std::vector<Fault>& faults, std::mt19937& rng);

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_FAULTS_H
