// Two sides measured in interleaved rounds, and the median that judges them.
#ifndef DAVODEV_KIVBENCH_ROUNDS_H
#define DAVODEV_KIVBENCH_ROUNDS_H

#include <algorithm>
#include <cstddef>
#include <vector>

namespace kivbench {

// Runs `rounds` rounds of both sides, each side first every other round so
// that neither always follows the other. runA and runB run one round of
// their side and return its seconds. Returns, round by round, A's rate over
// B's (B's seconds over A's).
template <typename RunA, typename RunB>
std::vector<double> InterleavedRounds(int rounds, RunA runA, RunB runB)
{
    std::vector<double> ratios;
    for (int round = 0; round < rounds; ++round) {
        double aSeconds = 0;
        double bSeconds = 0;
        if (round % 2 == 0) {
            aSeconds = runA();
            bSeconds = runB();
        } else {
            bSeconds = runB();
            aSeconds = runA();
        }
        ratios.push_back(bSeconds / aSeconds);
    }
    return ratios;
}

// The median round: a burst of other work on the machine spoils one round,
// not the figure.
inline double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace kivbench

#endif  // DAVODEV_KIVBENCH_ROUNDS_H
