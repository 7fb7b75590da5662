// Latencies counted in buckets of fixed relative width, for percentiles
// over a watch of any length in a fixed amount of memory: a monitor on a
// busy line sees hundreds of thousands of replies a second.
#ifndef DAVODEV_KIVHOST_LATENCY_HISTOGRAM_H
#define DAVODEV_KIVHOST_LATENCY_HISTOGRAM_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kivhost {

class LatencyHistogram {
public:
    // Values below EXACT_BELOW have a bucket each; above, every power of two
    // is split into SUB_BUCKETS, so a bucket's middle is within
    // 1 / (2 * SUB_BUCKETS) of any value in it (0.8 %).
    static constexpr uint64_t SUB_BUCKETS = 64;
    static constexpr uint64_t EXACT_BELOW = 2 * SUB_BUCKETS;
    static constexpr double RELATIVE_ERROR = 1.0 / (2 * SUB_BUCKETS);

    void Add(uint64_t value);
    uint64_t Count() const { return count_; }
    bool Empty() const { return count_ == 0; }
    // The value of nearest rank, p in 0 to 100: the middle of its bucket,
    // within the observed smallest and largest; 100 is the largest exactly.
    uint64_t Percentile(double p) const;

private:
    static size_t BucketOf(uint64_t value);
    static uint64_t LowOf(size_t bucket);
    static uint64_t WidthOf(size_t bucket);

    std::vector<uint64_t> buckets_;  // grows to the largest value's bucket: at most a few thousand
    uint64_t count_ = 0;
    uint64_t min_ = 0;
    uint64_t max_ = 0;
};

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_LATENCY_HISTOGRAM_H
