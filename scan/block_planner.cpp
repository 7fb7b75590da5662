#include "scan/block_planner.h"

#include <algorithm>
#include <tuple>

#include "wire/address_area.h"

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

// A block as it is planned, with its run of elements.
struct Opened {
    ReadBlock block;
    int32_t first;
    int32_t last;
};

bool SameRun(const Opened& block, const Run& run)
{
    return run.station == block.block.start.station && run.operand == block.block.start.operand &&
           run.first == block.first && run.last == block.last;
}

bool CanJoin(const Opened& block, const Run& run, int maxGap)
{
    if (run.station != block.block.start.station || run.operand != block.block.start.operand)
        return false;
    // The same run again costs nothing, wherever it lies.
    if (SameRun(block, run))
        return true;
    if (run.first - block.last - 1 > maxGap)
        return false;
    const int32_t last = std::max(block.last, run.last);
    if (last - block.first + 1 > BLOCK_MAX)
        return false;
    if (IsByteBitOperand(run.operand))
        return block.first / 8 == last / 8;
    return true;
}

// An A or E run from one byte into the next: read alone, and not a block its
// neighbours could join.
bool CrossesByte(const Run& run)
{
    return IsByteBitOperand(run.operand) && run.first / 8 != run.last / 8;
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

    // A run read alone does not close the block before it: its neighbours on
    // either side still share that one, so the blocks are sorted afterwards.
    std::vector<Opened> opened;
    std::vector<size_t> openedOf(tags.size());
    constexpr size_t NONE = static_cast<size_t>(-1);
    size_t open = NONE;   // the block the next run may join
    size_t alone = NONE;  // the last run read alone: the same run again shares it
    for (const Run& run : runs) {
        const bool crosses = maxGap >= 0 && CrossesByte(run);
        size_t target = crosses ? alone : open;
        const bool joins = target != NONE && maxGap >= 0 &&
                           (crosses ? SameRun(opened[target], run) : CanJoin(opened[target], run, maxGap));
        if (!joins) {
            Opened block;
            block.block.start.station = run.station;
            block.block.start.operand = run.operand;
            block.block.start.number = ElementNumber(run.operand, run.first);
            block.block.start.bit = NO_BIT;
            block.block.start.width = run.operand == 'W' ? 16 : 1;
            block.first = run.first;
            block.last = run.last;
            opened.push_back(block);
            target = opened.size() - 1;
            (crosses ? alone : open) = target;
        }
        Opened& block = opened[target];
        block.last = std::max(block.last, run.last);
        block.block.count = block.last - block.first + 1;
        openedOf[run.tag] = target;
    }

    std::vector<size_t> order(opened.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const Opened& x = opened[a];
        const Opened& y = opened[b];
        return std::tie(x.block.start.station, x.block.start.operand, x.first, x.last) <
               std::tie(y.block.start.station, y.block.start.operand, y.first, y.last);
    });
    std::vector<size_t> placeOf(opened.size());
    ReadPlan plan;
    for (size_t i = 0; i < order.size(); ++i) {
        placeOf[order[i]] = i;
        plan.blocks.push_back(opened[order[i]].block);
    }
    plan.places.resize(tags.size());
    for (size_t i = 0; i < tags.size(); ++i) {
        const Tag& tag = tags[i];
        const Opened& block = opened[openedOf[i]];
        TagPlace& place = plan.places[i];
        place.block = placeOf[openedOf[i]];
        place.offset = ElementIndex(tag.address) - block.first;
        place.count = tag.address.bit != NO_BIT ? 1 : tag.count;
        place.bit = tag.address.bit;
    }
    return plan;
}

}  // namespace kivhost
