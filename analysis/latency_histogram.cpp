#include "analysis/latency_histogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace kivhost {
namespace {

constexpr int SUB_BITS = std::countr_zero(LatencyHistogram::SUB_BUCKETS);

}  // namespace

// Below EXACT_BELOW the value itself; above, the power of two it falls in
// and which of its SUB_BUCKETS parts.
size_t LatencyHistogram::BucketOf(uint64_t value)
{
    if (value < EXACT_BELOW)
        return static_cast<size_t>(value);
    const int power = std::bit_width(value) - 1;  // at least SUB_BITS + 1
    const int shift = power - SUB_BITS;
    const uint64_t part = (value >> shift) - SUB_BUCKETS;
    return static_cast<size_t>(EXACT_BELOW + static_cast<uint64_t>(shift - 1) * SUB_BUCKETS + part);
}

uint64_t LatencyHistogram::LowOf(size_t bucket)
{
    if (bucket < EXACT_BELOW)
        return bucket;
    const uint64_t above = bucket - EXACT_BELOW;
    return (SUB_BUCKETS + above % SUB_BUCKETS) << (above / SUB_BUCKETS + 1);
}

uint64_t LatencyHistogram::WidthOf(size_t bucket)
{
    return bucket < EXACT_BELOW ? 1 : uint64_t{1} << ((bucket - EXACT_BELOW) / SUB_BUCKETS + 1);
}

void LatencyHistogram::Add(uint64_t value)
{
    const size_t bucket = BucketOf(value);
    if (bucket >= buckets_.size())
        buckets_.resize(bucket + 1, 0);
    ++buckets_[bucket];
    min_ = count_ == 0 ? value : std::min(min_, value);
    max_ = count_ == 0 ? value : std::max(max_, value);
    ++count_;
}

uint64_t LatencyHistogram::Percentile(double p) const
{
    if (count_ == 0)
        return 0;
    if (p >= 100)
        return max_;
    const auto rank =
        std::clamp<uint64_t>(static_cast<uint64_t>(std::ceil(p / 100.0 * static_cast<double>(count_))), 1, count_);
    uint64_t seen = 0;
    size_t bucket = 0;
    for (; bucket + 1 < buckets_.size(); ++bucket) {
        seen += buckets_[bucket];
        if (seen >= rank)
            break;
    }
    return std::clamp(LowOf(bucket) + WidthOf(bucket) / 2, min_, max_);
}

}  // namespace kivhost
