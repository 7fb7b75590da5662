// kivgate's tag map: every clash refused with its row and why, and --plan
// run as a program on a tag file.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "gate_config.h"

namespace {

using kivgate::Space;
using kivhost::Tag;
using kivhost::ValueKind;

struct Row {
    const char* name;
    int32_t count;
    ValueKind kind;
    const char* modbus;
    const char* access;
    const char* topic;
};

Tag MakeTag(const Row& row, int line)
{
    Tag tag;
    tag.name = row.name;
    tag.text = row.kind == ValueKind::Bit ? "01B0001" : "01W0001";
    tag.count = row.count;
    tag.kind = row.kind;
    tag.line = line;
    tag.extra = {row.modbus, row.topic, row.access};
    return tag;
}

constexpr ValueKind W = ValueKind::Word;
constexpr ValueKind B = ValueKind::Bit;

TEST(KivgateConfig, MapClashesAreRefusedWithTheirRow)
{
    struct Case {
        const char* what;
        std::vector<Row> rows;
        int line;           // of the refused row, 0: none refused
        const char* words;  // in its message
    };
    const std::vector<Case> cases = {
        {"two tags on one register",
         {{"a", 2, W, "hr:1", "", ""}, {"b", 1, W, "hr:2", "", ""}},
         3,
         "two tags on one register"},
        {"a run ending on the next one", {{"a", 1, W, "hr:5", "", ""}, {"b", 3, W, "hr:3", "", ""}}, 3, "hr:5"},
        {"the same number in two spaces is no clash",
         {{"a", 1, W, "hr:1", "", ""}, {"b", 1, W, "ir:1", "", ""}},
         0,
         ""},
        {"a bit tag on a register", {{"a", 1, B, "hr:1", "", ""}}, 2, "bit tag cannot sit on hr"},
        {"a bit tag on an input register", {{"a", 1, B, "ir:1", "", ""}}, 2, "bit tag cannot sit on ir"},
        {"a word tag on a coil", {{"a", 1, W, "coil:1", "", ""}}, 2, "word tag cannot sit on coil"},
        {"a word tag on a discrete input", {{"a", 1, W, "di:1", "", ""}}, 2, "word tag cannot sit on di"},
        {"a run past 65535", {{"a", 3, W, "hr:65534", "", ""}}, 2, "goes past hr:65535"},
        {"a run up to 65535", {{"a", 2, W, "hr:65534", "", ""}}, 0, ""},
        {"an assigned run past 65535", {{"a", 1, W, "hr:65535", "", ""}, {"b", 1, W, "", "", ""}}, 3, "goes past"},
        {"rw on an input register", {{"a", 1, W, "ir:1", "rw", ""}}, 2, "rw on ir"},
        {"rw on a discrete input", {{"a", 1, B, "di:1", "rw", ""}}, 2, "rw on di"},
        {"an unknown space", {{"a", 1, W, "xr:1", "", ""}}, 2, "not hr:N"},
        {"a place without a number", {{"a", 1, W, "hr:", "", ""}}, 2, "from 0 to 65535"},
        {"a place past the map", {{"a", 1, W, "hr:65536", "", ""}}, 2, "from 0 to 65535"},
        {"an unknown access", {{"a", 1, W, "", "wo", ""}}, 2, "neither ro nor rw"},
        {"a topic with a wildcard", {{"a", 1, W, "", "", "site/+"}}, 2, "wildcard"},
        {"two tags on one topic", {{"a", 1, W, "", "", "t"}, {"b", 1, W, "", "", "t"}}, 3, "topic \"t\" is taken"},
    };
    for (const Case& c : cases) {
        std::vector<Tag> tags;
        for (size_t i = 0; i < c.rows.size(); ++i)
            tags.push_back(MakeTag(c.rows[i], static_cast<int>(i) + 2));
        const kivgate::GateConfig config = kivgate::MapTags(tags, "f.csv", "kivgate");
        if (c.line == 0) {
            EXPECT_TRUE(config.errors.empty()) << c.what << ": " << config.errors.front().Message();
            continue;
        }
        ASSERT_EQ(config.errors.size(), 1u) << c.what;
        EXPECT_EQ(config.errors.front().line, c.line) << c.what;
        const std::string message = config.errors.front().Message();
        EXPECT_EQ(message.rfind("f.csv:" + std::to_string(c.line) + ": ", 0), 0u) << c.what << ": " << message;
        EXPECT_NE(message.find(c.words), std::string::npos) << c.what << ": " << message;
    }
}

TEST(KivgateConfig, TagsWithoutAPlaceFollowTheHighestGiven)
{
    const std::vector<Row> rows = {{"w1", 2, W, "", "", ""}, {"given", 4, W, "hr:10", "rw", ""},
                                   {"b1", 3, B, "", "", ""}, {"c", 1, B, "coil:7", "", "x/y"},
                                   {"w2", 1, W, "", "", ""}, {"in", 1, W, "ir:0", "", ""}};
    std::vector<Tag> tags;
    for (size_t i = 0; i < rows.size(); ++i)
        tags.push_back(MakeTag(rows[i], static_cast<int>(i) + 2));
    const kivgate::GateConfig config = kivgate::MapTags(tags, "f.csv", "pre");
    ASSERT_TRUE(config.errors.empty()) << config.errors.front().Message();
    const std::vector<std::tuple<Space, int, bool, std::string>> expected = {
        {Space::HoldingRegister, 14, false, "pre/w1"},
        {Space::HoldingRegister, 10, true, "pre/given"},
        {Space::Coil, 8, false, "pre/b1"},
        {Space::Coil, 7, false, "x/y"},
        {Space::HoldingRegister, 16, false, "pre/w2"},
        {Space::InputRegister, 0, false, "pre/in"}};
    ASSERT_EQ(config.tags.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto& [space, first, writable, topic] = expected[i];
        EXPECT_EQ(config.tags[i].space, space) << rows[i].name;
        EXPECT_EQ(config.tags[i].first, first) << rows[i].name;
        EXPECT_EQ(config.tags[i].writable, writable) << rows[i].name;
        EXPECT_EQ(config.tags[i].topic, topic) << rows[i].name;
    }
}

std::string RunCommand(const std::string& command, int* status)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    std::array<char, 4096> buffer{};
    while (pipe != nullptr && fgets(buffer.data(), buffer.size(), pipe) != nullptr)
        out += buffer.data();
    const int raw = pipe != nullptr ? pclose(pipe) : -1;
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

TEST(KivgateConfig, PlanShowsBlocksMapAndTopicsWithoutAPort)
{
    const std::string dir = ::testing::TempDir();
    const std::string good = dir + "/kivgate_plan.csv";
    std::ofstream(good) << "name,address,count,type,modbus,access,topic\n"
                           "speed,01W0010,,,hr:100,rw,\n"
                           "levels,01W0012,4,,,,\n"
                           "valves,01B0100,8,bit,coil:5,rw,\n"
                           "alarm,02B0001,,bit,,,site/alarm\n";
    int status = -1;
    const std::string plan = RunCommand(std::string(KIVGATE_PATH) + " " + good + " --plan 2>&1", &status);
    EXPECT_EQ(status, 0) << plan;
    for (const char* shown : {"01W0010 x 6", "hr:100 ", "rw  01W0010   speed", "hr:101-104", "coil:5-12", "coil:13 ",
                              "kivgate/speed  (and kivgate/speed/set)", "site/alarm"})
        EXPECT_NE(plan.find(shown), std::string::npos) << shown << " in:\n" << plan;

    const std::string bad = dir + "/kivgate_plan_bad.csv";
    std::ofstream(bad) << "name,address,modbus\na,01W0010,hr:1\nb,01W0011,hr:1\n";
    const std::string refused = RunCommand(std::string(KIVGATE_PATH) + " " + bad + " --plan 2>&1", &status);
    EXPECT_EQ(status, 64) << refused;
    EXPECT_NE(refused.find("kivgate_plan_bad.csv:3: two tags on one register"), std::string::npos) << refused;

    // kivhost keeps refusing the gateway's columns.
    const std::string unknown = dir + "/kivgate_plan_unknown.csv";
    std::ofstream(unknown) << "name,address,modbus,colour\na,01W0010,hr:1,red\n";
    const std::string column = RunCommand(std::string(KIVGATE_PATH) + " " + unknown + " --plan 2>&1", &status);
    EXPECT_EQ(status, 64) << column;
    EXPECT_NE(column.find("unknown column \"colour\""), std::string::npos) << column;
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// As kivhost's: --help and --version on standard output with status 0, and
// every option of the help in the man page and offered by the completion
// (sourced in a plain bash). The shipped example tag file maps cleanly.
TEST(KivgateDocs, HelpVersionManPageCompletionAndExampleAgree)
{
    int status = -1;
    const std::string help = RunCommand(std::string(KIVGATE_PATH) + " --help 2>/dev/null", &status);
    EXPECT_EQ(status, 0);
    const std::string version = RunCommand(std::string(KIVGATE_PATH) + " --version 2>/dev/null", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(version.rfind("kivgate ", 0), 0u) << version;

    const std::string letters = "abcdefghijklmnopqrstuvwxyz-";
    std::set<std::string> options;  // every "--name" in the help's left column
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("--");
        if (at == std::string::npos || line.find_first_not_of(" -h,") < at)
            continue;
        options.insert(line.substr(at, line.find_first_not_of(letters, at + 2) - at));
    }
    EXPECT_EQ(options.size(), 31u) << help;

    const std::string man = ReadText(KIV_SOURCE_DIR "/man/kivgate.1.scd");
    const std::string offered =
        RunCommand("bash --norc --noprofile -c 'source " KIV_SOURCE_DIR
                   "/gate/completion/kivgate.bash; COMP_WORDS=(kivgate --); COMP_CWORD=1; _kivgate; "
                   "printf \"%s\\n\" \"${COMPREPLY[@]}\"' 2>&1",
                   &status);
    for (const std::string& option : options) {
        EXPECT_NE(man.find("*" + option + "*"), std::string::npos) << option << " is not in the man page";
        EXPECT_NE(offered.find(option + "\n"), std::string::npos) << option << " is not offered:\n" << offered;
    }

    const std::string plan = RunCommand(
        std::string(KIVGATE_PATH) + " " KIV_SOURCE_DIR "/examples/pump-station-gateway.csv --plan 2>&1", &status);
    EXPECT_EQ(status, 0) << plan;
}

}  // namespace
