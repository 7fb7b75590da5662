// Tag files as the scan reads them, their addresses checked by the driver's
// parser, and the block planner (kiv_scan).
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "address/address_parser.h"
#include "fieldkit/parser_hint.h"
#include "hosting/dorvak.h"
#include "scan/block_planner.h"
#include "scan/tag_list.h"
#include "tests/case_name.h"
#include "wire/address_area.h"

namespace {

using namespace kivhost;

template <typename Case>
void PrintCaseName(const Case& c, std::ostream* os)
{
    *os << c.name;
}

// ---------------------------------------------------------------------------
// Tag files

// As kivhost checks an address: through the driver's parser, the single one
// for one element and the block one for a run, with the hint it shows.
bool DriverValidates(const Tag& tag, DriverAddress* address, std::string* why)
{
    AddressParseBlock block{};
    block.text = tag.text.c_str();
    block.tagType = tag.kind == ValueKind::Bit ? TAG_TYPE_BIT : TAG_TYPE_WORD;
    block.count = tag.count;
    const bool run = tag.count > 1;
    DorvakSetLogging(0);
    const int32_t result = kiv::ParseAddress(&block, run ? kiv::ParseMode::Block : kiv::ParseMode::Single);
    DorvakSetLogging(1);
    if (result != SUCCESS && why == nullptr)
        return false;
    if (result != SUCCESS) {
        const AddressParser parse = [](const std::string& text, bool blockMode, uint32_t tagType, int32_t count,
                                       DriverAddress* parsed) {
            AddressParseBlock probe{};
            probe.text = text.c_str();
            probe.tagType = tagType;
            probe.count = count;
            DorvakSetLogging(0);
            const int32_t verdict =
                kiv::ParseAddress(&probe, blockMode ? kiv::ParseMode::Block : kiv::ParseMode::Single);
            DorvakSetLogging(1);
            *parsed = probe.address;
            return verdict;
        };
        *why = RejectionHint(parse, tag.text, run, block.tagType, tag.count);
        return false;
    }
    *address = block.address;
    return true;
}

TEST(TagFile, ReadsColumnsInAnyOrderQuotesCommentsAndLineEnds)
{
    const std::string content = "\xEF\xBB\xBF# line 1: a comment before the header\r\n"
                                "Comment, address ,NAME,count\r\n"
                                "\r\n"
                                "\"rpm, set by the panel\",01W0010,pump speed,\r\n"
                                "   # a comment row\n"
                                "\"say \"\"hi\"\"\",01b0100,valves,0x0C\n"
                                ",02A01F7,door,";
    const TagFile file = ParseTagFile(content, "job.csv", DriverValidates);
    ASSERT_TRUE(file.Ok()) << file.errors[0].Message();
    ASSERT_EQ(file.tags.size(), 3u);
    EXPECT_EQ(file.tags[0].name, "pump speed");
    EXPECT_EQ(file.tags[0].comment, "rpm, set by the panel");
    EXPECT_EQ(file.tags[0].line, 4);
    EXPECT_EQ(file.tags[0].kind, ValueKind::Word);
    EXPECT_EQ(file.tags[1].comment, "say \"hi\"");
    EXPECT_EQ(file.tags[1].count, 12);
    EXPECT_EQ(file.tags[1].address.operand, 'B');
    EXPECT_EQ(file.tags[1].line, 6);
    EXPECT_EQ(file.tags[2].address.number, 0x1F7);
    EXPECT_EQ(file.tags[2].kind, ValueKind::Bit);
}

struct TagFileCase {
    const char* name;
    std::string content;
    int line;          // of the one error
    const char* says;  // part of its reason
};
void PrintTo(const TagFileCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

const std::string HEADER = "name,address,count,type,comment\n";

const TagFileCase TAG_FILE_CASES[] = {
    {"empty", "# nothing\n\n", 0, "no header line"},
    {"header only", HEADER, 0, "no tags"},
    {"header without address", "name,count\nx,3\n", 1, "name and address at least"},
    {"misspelt column", "name,address,cuont\n", 1, "unknown column \"cuont\""},
    {"column twice", "name,address,Name\n", 1, "appears twice"},
    {"broken quote in the header", "name,\"address\n", 1, "quote is not closed"},
    {"too many fields", HEADER + "a,01W0010,1,word,x,y\n", 2, "6 fields, the header 5"},
    {"text after a quote", HEADER + "a,\"01W0010\"x\n", 2, "text follows a closing quote"},
    {"no name", HEADER + ",01W0010\n", 2, "no name"},
    {"name taken", HEADER + "a,01W0010\na,01W0011\n", 3, "taken by an earlier row"},
    {"no address", HEADER + "a,,1\n", 2, "no address"},
    {"address too long", HEADER + "a,01W001000\n", 2, "at most 8 characters"},
    {"count 0", HEADER + "a,01W0010,0\n", 2, "from 1 to 255"},
    {"count 256", HEADER + "a,01W0010,256\n", 2, "from 1 to 255"},
    {"count not a number", HEADER + "a,01W0010,ten\n", 2, "from 1 to 255"},
    {"unknown type", HEADER + "a,01W0010,1,float\n", 2, "neither word nor bit"},
    {"type against the address", HEADER + "a,01W0010,1,bit\n", 2, "the type says bit but 01W0010 names a word"},
    {"operand the driver does not know", HEADER + "a,01C0000\n", 2, "the operand is W"},
    {"six characters", HEADER + "a,02A1F7\n", 2, "seven characters"},
    {"a bit of a word in a run", HEADER + "a,01W00105,2\n", 2, "a bit of a word goes alone"},
    {"a word run past FFFF", HEADER + "a,01WFFFF,2\n", 2, "a run of 2 from 01WFFFF goes past 01WFFFF"},
    {"a bit run past the last A bit", HEADER + "a,01A01F6,4\n", 2,
     "goes past 01A01F7, the last of the A area: at most 2"},
    {"a bad row among good ones", HEADER + "a,01W0010\n# b\nb,01B100000\nc,01E0000\n", 4, "at most 8 characters"},
};

class TagFileRejections : public ::testing::TestWithParam<TagFileCase> {};

TEST_P(TagFileRejections, FileLineTextAndWhy)
{
    const TagFileCase& c = GetParam();
    const TagFile file = ParseTagFile(c.content, "job.csv", DriverValidates);
    ASSERT_EQ(file.errors.size(), 1u);
    const TagFileError& error = file.errors[0];
    EXPECT_EQ(error.line, c.line);
    EXPECT_NE(error.why.find(c.says), std::string::npos) << error.why;
    const std::string message = error.Message();
    EXPECT_EQ(message.rfind("job.csv:", 0), 0u) << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(Rows, TagFileRejections, ::testing::ValuesIn(TAG_FILE_CASES), CaseName());

TEST(TagFile, EveryBadRowIsReported)
{
    const TagFile file = ParseTagFile(HEADER + "a,01W001000\nb,01W0010\nc,01W0011,300\n", "job.csv", DriverValidates);
    ASSERT_EQ(file.errors.size(), 2u);
    EXPECT_EQ(file.errors[0].Message(),
              "job.csv:2: \"01W001000\" is not an address: it has at most 8 characters (station, operand, four hex "
              "digits, and a bit digit for a bit of a W word), e.g. 01W0010 or 01W00105; the driver would read only "
              "\"01W00100\": a,01W001000");
    EXPECT_EQ(file.errors[1].line, 4);
    EXPECT_EQ(file.tags.size(), 1u);
}

// ---------------------------------------------------------------------------
// The block planner

struct PlanCase {
    const char* name;
    std::vector<std::pair<std::string, int>> tags;  // address, count
    int maxGap;
    std::vector<std::string> blocks;  // start address and count: "01W0010x3"
    std::vector<std::string> places;  // per tag: block, offset, and the bit of a word: "0+2", "0+1.5"
};
void PrintTo(const PlanCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

const PlanCase PLAN_CASES[] = {
    {"neighbours", {{"01W0012", 1}, {"01W0010", 1}, {"01W0011", 1}}, 0, {"01W0010x3"}, {"0+2", "0+0", "0+1"}},
    {"a gap within the limit", {{"01W0010", 1}, {"01W0015", 2}}, 4, {"01W0010x7"}, {"0+0", "0+5"}},
    {"a gap beyond it", {{"01W0010", 1}, {"01W0015", 2}}, 3, {"01W0010x1", "01W0015x2"}, {"0+0", "1+0"}},
    {"grouping off",
     {{"01W0010", 1}, {"01W0011", 1}, {"01W0010", 1}},
     NO_GROUPING,
     {"01W0010x1", "01W0010x1", "01W0011x1"},
     {"0+0", "2+0", "1+0"}},
    {"the same tag twice", {{"01W0010", 3}, {"01W0010", 3}}, 0, {"01W0010x3"}, {"0+0", "0+0"}},
    {"a bit of a word from its word",
     {{"01W0010", 2}, {"01W00115", 1}, {"01W0012F", 1}},
     0,
     {"01W0010x3"},
     {"0+0", "0+1.5", "0+2.15"}},
    {"stations and operands apart",
     {{"01W0010", 1}, {"02W0011", 1}, {"01B0011", 1}},
     8,
     {"01B0011x1", "01W0010x1", "02W0011x1"},
     {"1+0", "2+0", "0+0"}},
    {"exactly 255", {{"01W0000", 100}, {"01W0064", 155}}, 0, {"01W0000x255"}, {"0+0", "0+100"}},
    {"one more splits", {{"01W0000", 100}, {"01W0064", 156}}, 0, {"01W0000x100", "01W0064x156"}, {"0+0", "1+0"}},
    {"neighbouring runs split at 255",
     {{"01B0000", 200}, {"01B00C8", 100}, {"01B00D0", 8}},
     0,
     {"01B0000x200", "01B00C8x100"},
     {"0+0", "1+0", "1+8"}},
    {"up to the top of W", {{"01WFFFE", 2}, {"01WFFF0", 1}}, 14, {"01WFFF0x16"}, {"0+14", "0+0"}},
    {"B runs across what would be bytes", {{"01B0007", 1}, {"01B0008", 1}}, 0, {"01B0007x2"}, {"0+0", "0+1"}},
    {"A within one byte", {{"01A0107", 1}, {"01A0100", 2}, {"01A0103", 1}}, 8, {"01A0100x8"}, {"0+7", "0+0", "0+3"}},
    {"A never across a byte", {{"01A0107", 1}, {"01A0110", 1}}, 8, {"01A0107x1", "01A0110x1"}, {"0+0", "1+0"}},
    {"an A run across a byte is read alone",
     {{"01A0106", 4}, {"01A0107", 1}, {"01E0106", 4}, {"01E0106", 4}},
     8,
     {"01A0106x4", "01A0107x1", "01E0106x4"},
     {"0+0", "1+0", "2+0", "2+0"}},
    {"the top of A", {{"01A01F5", 3}, {"01A01F0", 1}}, 8, {"01A01F0x8"}, {"0+5", "0+0"}},
    {"an A run across a byte leaves its neighbours one block",
     {{"01A0100", 1}, {"01A0106", 4}, {"01A0107", 1}},
     8,
     {"01A0100x8", "01A0106x4"},
     {"0+0", "1+0", "0+7"}},
    {"12 E bits across three bytes, a block of neighbours on either side",
     {{"01E01D6", 12}, {"01E01D0", 1}, {"01E01F5", 1}, {"01E01D7", 1}, {"01E01F1", 1}, {"01E01D6", 12}},
     8,
     {"01E01D0x8", "01E01D6x12", "01E01F1x5"},
     {"1+0", "0+0", "2+4", "0+7", "2+0", "1+0"}},
};

class BlockPlanner : public ::testing::TestWithParam<PlanCase> {};

TEST_P(BlockPlanner, FewestBlocksAndEachTagsPlace)
{
    const PlanCase& c = GetParam();
    std::vector<Tag> tags;
    for (const auto& [text, count] : c.tags) {
        Tag tag;
        tag.text = text;
        tag.count = count;
        tag.kind = GuessValueKind(text);
        std::string why;
        ASSERT_TRUE(DriverValidates(tag, &tag.address, &why)) << text << ": " << why;
        tags.push_back(tag);
    }
    const ReadPlan plan = PlanReads(tags, c.maxGap);
    std::vector<std::string> blocks;
    for (const ReadBlock& block : plan.blocks) {
        blocks.push_back(ElementAddress(block.start, 0) + "x" + std::to_string(block.count));
        std::string why;
        EXPECT_TRUE(block.count >= 1 && block.count <= BLOCK_MAX);
        EXPECT_EQ(block.start.bit, NO_BIT);
    }
    EXPECT_EQ(blocks, c.blocks);
    std::vector<std::string> places;
    for (size_t i = 0; i < plan.places.size(); ++i) {
        const TagPlace& p = plan.places[i];
        places.push_back(std::to_string(p.block) + "+" + std::to_string(p.offset) +
                         (p.bit != NO_BIT ? "." + std::to_string(p.bit) : ""));
        EXPECT_LE(p.offset + p.count, plan.blocks[p.block].count) << "tag " << i;
    }
    EXPECT_EQ(places, c.places);
}

INSTANTIATE_TEST_SUITE_P(Tags, BlockPlanner, ::testing::ValuesIn(PLAN_CASES), CaseName());

}  // namespace
