// Tags into the fewest block reads. Tags of one station and operand whose
// elements lie within maxGap elements of each other share one block of at
// most 255 elements; a bit of a word is read with its word. W and B runs are
// plainly consecutive numbers. For A and E the address names a byte and a
// bit, and a PLC's run across a byte boundary is not something the address
// form settles: their tags share a block only within one byte. A tag whose
// own run crosses a byte is read alone, as the host would read it, and its
// neighbours on either side still share their blocks.
#ifndef KIVHOST_BLOCK_PLANNER_H
#define KIVHOST_BLOCK_PLANNER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host_api/davodev.h"
#include "scan/tag_list.h"

namespace kivhost {

constexpr int NO_GROUPING = -1;  // every tag a block of its own
constexpr int32_t BLOCK_MAX = 255;

struct ReadBlock {
    DriverAddress start{};  // no bit; width 16 for W, 1 for the bit operands
    int32_t count = 0;
};

// Where a tag's elements are in the blocks read.
struct TagPlace {
    size_t block = 0;
    int32_t offset = 0;    // of the tag's first element within the block
    int32_t count = 0;     // the tag's elements
    int32_t bit = NO_BIT;  // a bit of a word: which bit of the word at offset
};

struct ReadPlan {
    std::vector<ReadBlock> blocks;  // by station, operand, then number
    std::vector<TagPlace> places;   // one per tag, in the tags' order
};

// The tags must be checked (addresses from the parser, runs inside their
// areas). maxGap: elements that may lie unused between two tags of a block;
// NO_GROUPING gives one block per tag.
ReadPlan PlanReads(const std::vector<Tag>& tags, int maxGap);

}  // namespace kivhost

#endif  // KIVHOST_BLOCK_PLANNER_H
