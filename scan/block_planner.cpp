#include "block_planner.h"

#include <algorithm>
#include <tuple>

#include "address_area.h"

namespace kivhost {
namespace {

// A tag's run as element indexes of its area.
struct Run {
    size_t tag;
    int32_t station;
    int32_t operand;
    int32_t first;
    int32_t last;
};

Run RunOf(const Tag& tag, size_t index)
{
    const DriverAddress& a = tag.address;
    const int32_t first = ElementIndex(a);
    // A bit of a word is served from the word.
    const int32_t count = a.bit != NO_BIT ? 1 : std::max(tag.count, 1);
    return {index, a.station, a.operand, first, first + count - 1};
}

bool CanJoin(const ReadBlock& block, int32_t blockFirst, int32_t blockLast, const Run& run, int maxGap)
{
    if (run.station != block.start.station || run.operand != block.start.operand)
        return false;
    // The same run again costs nothing, wherever it lies.
    if (run.first == blockFirst && run.last == blockLast)
        return true;
    if (run.first - blockLast - 1 > maxGap)
        return false;
    const int32_t last = std::max(blockLast, run.last);
    if (last - blockFirst + 1 > BLOCK_MAX)
        return false;
    if (IsByteBitOperand(run.operand))
        return blockFirst / 8 == last / 8;
    return true;
}

}  // namespace

ReadPlan PlanReads(const std::vector<Tag>& tags, int maxGap)
{
    std::vector<Run> runs;
    runs.reserve(tags.size());
    for (size_t i = 0; i < tags.size(); ++i)
        runs.push_back(RunOf(tags[i], i));
    std::stable_sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) {
        return std::tie(a.station, a.operand, a.first, a.last) < std::tie(b.station, b.operand, b.first, b.last);
    });

    ReadPlan plan;
    plan.places.resize(tags.size());
    int32_t blockFirst = 0;
    int32_t blockLast = -1;
    for (const Run& run : runs) {
        if (plan.blocks.empty() || maxGap < 0 || !CanJoin(plan.blocks.back(), blockFirst, blockLast, run, maxGap)) {
            ReadBlock block;
            block.start.station = run.station;
            block.start.operand = run.operand;
            block.start.number = ElementNumber(run.operand, run.first);
            block.start.bit = NO_BIT;
            block.start.width = run.operand == 'W' ? 16 : 1;
            plan.blocks.push_back(block);
            blockFirst = run.first;
            blockLast = run.last;
        }
        blockLast = std::max(blockLast, run.last);
        plan.blocks.back().count = blockLast - blockFirst + 1;

        const Tag& tag = tags[run.tag];
        TagPlace& place = plan.places[run.tag];
        place.block = plan.blocks.size() - 1;
        place.offset = run.first - blockFirst;
        place.count = tag.address.bit != NO_BIT ? 1 : tag.count;
        place.bit = tag.address.bit;
    }
    return plan;
}

}  // namespace kivhost
