// kivgate's tag map: every clash refused with its row and why, and --plan
// run as a program on a tag file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fieldkit/tool_options.h"
#include "gate/gate_config.h"
#include "gate/log_repeats.h"
#include "gate/station_history.h"
#include "gate/value_format.h"
#include "gate/write_log.h"
#include "tests/command_output.h"

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
        {"a tag named status", {{"status", 1, W, "", "", ""}}, 2, "is the gateway's status"},
        {"a station's topic", {{"a", 1, W, "", "", "kivgate/stations/01"}}, 2, "tells of its stations"},
        {"the broker's own topics", {{"a", 1, W, "", "", "$SYS/x"}}, 2, "begins with $"},
        {"another tag's set topic", {{"a", 1, W, "", "", ""}, {"b", 1, W, "", "", "kivgate/a/set"}}, 3, "set topic"},
        {"another tag's set result", {{"a", 1, W, "", "", "t/set/result"}, {"b", 1, W, "", "", "t"}}, 2, "set/result"},
        {"another tag's quality", {{"a", 1, W, "", "", "t"}, {"b", 1, W, "", "", "t/quality"}}, 3, "quality topic"},
        {"a name that only ends in set", {{"a", 1, W, "", "", ""}, {"reset", 1, W, "", "", ""}}, 0, ""},
        // A relative topic is judged, and named, as it resolves.
        {"a relative topic on the status", {{"a", 1, W, "", "", "~/status"}}, 2, "\"kivgate/status\" is the gateway's"},
        {"a relative topic on a set topic",
         {{"a", 1, W, "", "", ""}, {"b", 1, W, "", "", "~/a/set"}},
         3,
         "\"kivgate/a/set\" is the gateway's set topic"},
        {"a relative and an absolute topic that meet",
         {{"a", 1, W, "", "", "~/t"}, {"b", 1, W, "", "", "kivgate/t"}},
         3,
         "topic \"kivgate/t\" is taken"},
        {"a relative topic with a wildcard", {{"a", 1, W, "", "", "~/+"}}, 2, "\"kivgate/+\" holds a wildcard"},
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
    const std::vector<Row> rows = {{"w1", 2, W, "", "", ""},
                                   {"given", 4, W, "hr:10", "rw", ""},
                                   {"b1", 3, B, "", "", ""},
                                   {"c", 1, B, "coil:7", "", "x/y"},
                                   {"w2", 1, W, "", "", ""},
                                   {"in", 1, W, "ir:0", "", ""},
                                   {"rel", 1, W, "ir:1", "", "~/site/flow"},
                                   {"tilde", 1, W, "ir:2", "", "~flow"}};
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
        {Space::InputRegister, 0, false, "pre/in"},
        {Space::InputRegister, 1, false, "pre/site/flow"},
        {Space::InputRegister, 2, false, "~flow"}};
    ASSERT_EQ(config.tags.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto& [space, first, writable, topic] = expected[i];
        EXPECT_EQ(config.tags[i].space, space) << rows[i].name;
        EXPECT_EQ(config.tags[i].first, first) << rows[i].name;
        EXPECT_EQ(config.tags[i].writable, writable) << rows[i].name;
        EXPECT_EQ(config.tags[i].topic, topic) << rows[i].name;
    }
}

TEST(KivgateConfig, PlanShowsBlocksMapAndTopicsWithoutAPort)
{
    const std::string dir = ::testing::TempDir();
    const std::string good = dir + "/kivgate_plan.csv";
    std::ofstream(good) << "name,address,count,type,modbus,access,topic,format,scale,unit\n"
                           "speed,01W0010,,,hr:100,rw,,,,\n"
                           "levels,01W0012,4,,,,,,,\n"
                           "valves,01B0100,8,bit,coil:5,rw,,,,\n"
                           "alarm,02B0001,,bit,,,site/alarm,,,\n"
                           "totals,01W0030,2,,,,,u32,0.1,m3\n";
    int status = -1;
    const std::string plan = RunCommand(std::string(KIVGATE_PATH) + " " + good + " --plan 2>&1", &status);
    EXPECT_EQ(status, 0) << plan;
    for (const char* shown : {"01W0010 x 6", "hr:100 ", "rw  01W0010   speed", "hr:101-104", "coil:5-12", "coil:13 ",
                              "01W0030 x 4", "hr:105-108       ro  01W0030   totals (u32, scale 0.1, m3)",
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

// The value columns, checked with the rest before the port opens: each row
// refused with its line, the driver asked about a 32-bit value's two words.
TEST(KivgateConfig, ValueColumnsRefusedWithTheirRow)
{
    struct Row {
        const char* row;    // after name,address,count,type,format,scale,offset,unit
        const char* words;  // of its refusal; "" for none
    };
    const std::vector<Row> rows = {
        {"a,01W0010,,,u32,,,", ""},
        {"b,01WFFFE,,,f32r,0.5,-3,degC", ""},
        {"c,01WFFFF,,,u32,,,", "goes past 01WFFFF"},
        {"d,01WFFFD,2,,i32,,,", "a run of 4 from 01WFFFD"},
        {"e,01W0100,200,,u32,,,", "count 400"},
        {"f,01W0020,,,u64,,,", "the format \"u64\" is not u16"},
        {"g,01W0021,,,,0,,", "the scale \"0\" is not a number other than 0"},
        {"h,01W0022,,,,,nan,", "the offset \"nan\" is not a number"},
        {"i,01B0001,,bit,,,,A", "a bit tag takes no format, scale, offset or unit"},
        {"j,01W00180,,,u16,,,", "a bit tag takes no format"},
        {"k,01W0023,,,I16,0.1,,A", ""},
    };
    const std::string path = ::testing::TempDir() + "/kivgate_value_columns.csv";
    {
        std::ofstream out(path);
        out << "name,address,count,type,format,scale,offset,unit\n";
        for (const Row& row : rows)
            out << row.row << "\n";
    }
    int status = -1;
    const std::string out = RunCommand(std::string(KIVGATE_PATH) + " " + path + " --plan 2>&1", &status);
    EXPECT_EQ(status, 64) << out;
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::string where = "kivgate_value_columns.csv:" + std::to_string(i + 2) + ": ";
        const size_t at = out.find(where);
        if (*rows[i].words == '\0') {
            EXPECT_EQ(at, std::string::npos) << rows[i].row << " in:\n" << out;
            continue;
        }
        ASSERT_NE(at, std::string::npos) << rows[i].row << " in:\n" << out;
        EXPECT_NE(out.substr(at, out.find('\n', at) - at).find(rows[i].words), std::string::npos)
            << rows[i].row << " in:\n"
            << out;
    }
}

// What a service must refuse at once rather than wait on or drown its log
// in: a FIFO for a file it reads, and a tag file with thousands of clashes.
TEST(KivgateConfig, StartInputsRefusedAtOnceAndBriefly)
{
    const std::string dir = ::testing::TempDir();
    const std::string fifo = dir + "/kivgate_fifo";
    std::remove(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string good = dir + "/kivgate_start_good.csv";
    std::ofstream(good) << "name,address\nspeed,01W0010\n";
    const std::string clashes = dir + "/kivgate_start_clashes.csv";
    {
        std::ofstream out(clashes);
        out << "name,address,modbus\n";
        for (int i = 0; i < 10000; ++i)
            out << "t" << i << ",01W" << 1000 + i % 4000 << ",hr:1\n";
    }
    const std::string haClash = dir + "/kivgate_ha_clash.csv";
    std::ofstream(haClash) << "name,address\npump speed,01W0010\npump_speed,01W0011\n";
    struct Case {
        const char* name;
        std::string args;
        std::vector<std::string> says;
        size_t maxLines;
    };
    const Case cases[] = {
        {"two names of one Home Assistant object id",
         haClash + " --plan --mqtt 127.0.0.1:1883 --ha-discovery",
         {"kivgate_ha_clash.csv:3: the Home Assistant object id \"pump_speed\" is also \"pump speed\"'s (line 2)"},
         1},
        {"a discovery prefix without discovery",
         good + " --plan --mqtt 127.0.0.1:1883 --ha-prefix ha",
         {"--ha-prefix applies to Home Assistant discovery"},
         1},
        {"discovery without MQTT", good + " --plan --ha-discovery", {"--ha-discovery applies to MQTT"}, 1},
        {"a discovery prefix with a wildcard",
         good + " --plan --mqtt 127.0.0.1:1883 --ha-discovery --ha-prefix ha/#",
         {"bad --ha-prefix", "no + or #"},
         1},
        {"a FIFO as the tag file", fifo + " --plan", {"cannot read the tag file", "not a regular file"}, 1},
        {"a FIFO as the password file",
         good + " --plan --mqtt 127.0.0.1:1883 --mqtt-password-file " + fifo,
         {"cannot read the password file", "not a regular file"},
         1},
        {"a client id with a control character",
         good + " --plan --mqtt 127.0.0.1:1883 --mqtt-client-id \"$(printf 'a\\001b')\"",
         {"bad --mqtt-client-id", "UTF-8 without control characters"},
         1},
        {"a unit id past 255",
         good + " --plan --modbus-unit 1,256",
         {"bad --modbus-unit \"1,256\"", "\"256\" is no unit id from 0 to 255"},
         1},
        {"a unit range backwards", good + " --plan --modbus-unit 7-5", {"\"7-5\" ends before it begins"}, 1},
        {"an empty unit item", good + " --plan --modbus-unit 1,,2", {"an empty item"}, 1},
        {"unit ids without Modbus", good + " --plan --no-modbus --modbus-unit 1", {"contradict"}, 1},
        {"a log level unknown",
         good + " --plan --log-level verbose",
         {"bad --log-level \"verbose\"", "give error, warn, info or debug"},
         1},
        {"ten thousand clashing rows",
         clashes + " --plan",
         {"kivgate_start_clashes.csv:3: two tags on one register", "... and 9979 more rows refused, 9999 in all"},
         kivhost::TAG_FILE_ROWS_TOLD + 1},
    };
    for (const Case& c : cases) {
        int status = -1;
        // timeout: a start that waits on the FIFO fails the case instead of the run.
        const std::string out = RunCommand("timeout 10 " + std::string(KIVGATE_PATH) + " " + c.args + " 2>&1", &status);
        EXPECT_EQ(status, 64) << c.name << ":\n" << out;
        for (const std::string& said : c.says)
            EXPECT_NE(out.find(said), std::string::npos) << c.name << ": " << said << " in:\n" << out.substr(0, 2000);
        EXPECT_LE(static_cast<size_t>(std::count(out.begin(), out.end(), '\n')), c.maxLines) << c.name;
    }
    std::remove(fifo.c_str());
}

// Started by a service manager or a shell with its standard descriptors
// closed, or with a log reader that goes away: the port never takes
// descriptor 0, 1 or 2 (the log would go onto the PLC line), and a lost log
// does not end the service.
TEST(KivgateConfig, StandardDescriptorsClosedOrGone)
{
    const std::string dir = ::testing::TempDir();
    const std::string tags = dir + "/kivgate_fds.csv";
    std::ofstream(tags) << "name,address\nhere,01W0010\nabsent,02W0010\n";
    const std::string link = "/tmp/kf" + std::to_string(getpid() % 1000);  // a port name holds 11 characters
    // plcsim serves station 1 only: station 2's failures keep kivgate logging.
    const std::string sim = std::string(PLCSIM_PATH) + " --stations 1 --link " + link + " >/dev/null 2>&1 & sim=$!; " +
                            "for i in $(seq 600); do [ -e " + link + " ] && break; sleep 0.05; done; ";
    const std::string gate = std::string(KIVGATE_PATH) + " --port " + link + " --timeout 10 --retry-down 1 " + tags +
                             " --no-modbus --no-http";
    struct Case {
        const char* name;
        std::string script;
        std::string says;
    };
    const Case cases[] = {
        {"stdin and stderr closed",
         sim + gate + " 0<&- 2>&- & gate=$!; " +
             "for i in $(seq 600); do ls -l /proc/$gate/fd 2>/dev/null | grep -q /dev/pts/ && break; sleep 0.05; "
             "done; " +
             "echo fd0=$(readlink /proc/$gate/fd/0) fd2=$(readlink /proc/$gate/fd/2); kill $gate; wait $gate; "
             "kill -INT $sim; wait $sim",
         "fd0=/dev/null fd2=/dev/null"},
        {"a log reader that goes",
         sim + "timeout 3 " + gate +
             " 2>&1 | head -c 1 >/dev/null; echo status=${PIPESTATUS[0]}; kill -INT $sim; "
             "wait $sim",
         "status=124"},  // still running when the time was up, not ended by SIGPIPE (141)
    };
    for (const Case& c : cases) {
        int status = -1;
        const std::string out = RunCommand("bash -c '" + c.script + "' 2>&1", &status);
        EXPECT_NE(out.find(c.says), std::string::npos) << c.name << ":\n" << out;
    }
}

// SIGHUP reads the tag file again: a valid one takes over in the same
// process, an invalid one is refused and the running one stays; neither
// stops the service.
TEST(KivgateConfig, SighupReloadsOrKeepsTheRunningTags)
{
    const std::string dir = ::testing::TempDir();
    const std::string tags = dir + "/kivgate_reload.csv";
    const std::string log = dir + "/kivgate_reload.log";
    const std::string link = "/tmp/kr" + std::to_string(getpid() % 1000);
    const std::string waitFor = "w() { for i in $(seq 600); do grep -q \"$1\" " + log +
                                " && return 0; sleep 0.05; done; echo \"never: $1\"; }; ";
    const std::string script =
        waitFor + std::string(PLCSIM_PATH) + " --stations 1 --link " + link + " >/dev/null 2>&1 & sim=$!; " +
        "for i in $(seq 600); do [ -e " + link + " ] && break; sleep 0.05; done; " +
        "printf \"name,address\\na,01W0010\\n\" > " + tags + "; " + KIVGATE_PATH + " --port " + link +
        " --timeout 10 " + tags + " --no-modbus --no-http 2>" + log + " & g=$!; w \"scanning 1 tags\"; " +
        "printf \"name,address\\na,01W0010\\nb,01W0011\\n\" > " + tags + "; kill -HUP $g; w \"scanning 2 tags\"; " +
        "printf \"name,address\\na,01Q0010\\n\" > " + tags + "; kill -HUP $g; w \"reload refused\"; " +
        "kill -0 $g && echo alive; kill -TERM $g; wait $g; echo status=$?; kill -INT $sim; wait $sim; cat " + log;
    int status = -1;
    const std::string out = RunCommand("bash -c '" + script + "' 2>&1", &status);
    for (const char* said :
         {"reload asked (SIGHUP)", "reloading: the new tag file and options take over", "scanning 2 tags",
          "reload refused, the running tag file and options stay:", "01Q0010", "alive", "status=0"})
        EXPECT_NE(out.find(said), std::string::npos) << said << " in:\n" << out;
    EXPECT_EQ(out.find("never:"), std::string::npos) << out;
}

// Log lines that differ only in their longer numbers are one kind: a few a
// minute are written, the rest counted and said when the minute is over.
// Raw words to values and back: word order, sign, scale and offset, the
// shortest text, and the range a write is refused outside.
TEST(KivgateValueFormat, WordsValuesAndTextAgree)
{
    using kivgate::ValueFormat;
    using kivgate::WordFormat;
    struct Row {
        ValueFormat format;
        std::vector<uint16_t> words;
        std::string text;  // ValueNumberText of the value
    };
    const std::vector<Row> rows = {
        {{WordFormat::U16, 1, 0, ""}, {65535}, "65535"},
        {{WordFormat::I16, 1, 0, ""}, {0xFFFE}, "-2"},
        {{WordFormat::I16, 0.1, 0, ""}, {3}, "0.3"},
        {{WordFormat::U16, 0.5, -40, ""}, {100}, "10"},
        {{WordFormat::U32, 1, 0, ""}, {0x0001, 0x0002}, "65538"},
        {{WordFormat::U32R, 1, 0, ""}, {0x0002, 0x0001}, "65538"},
        {{WordFormat::I32, 0.01, 0, ""}, {0xFFFF, 0xFF85}, "-1.23"},
        {{WordFormat::I32R, 1, 0, ""}, {0x0000, 0x8000}, "-2147483648"},
        {{WordFormat::F32, 1, 0, ""}, {0x3DCC, 0xCCCD}, "0.1"},
        {{WordFormat::F32R, 1, 0, ""}, {0x0000, 0x3FC0}, "1.5"},
        {{WordFormat::F32, 2, 1, ""}, {0x3FC0, 0x0000}, "4"},
    };
    for (const Row& row : rows) {
        const double value = kivgate::ValueOf(row.format, row.words);
        EXPECT_EQ(kivgate::ValueNumberText(row.format, value), row.text) << row.text;
        const kivgate::EncodedValue back = kivgate::EncodeValue(row.format, value);
        EXPECT_EQ(back.why, "") << row.text;
        EXPECT_EQ(back.words, row.words) << row.text;
    }
    // A NaN read is served as null; writes out of range or not finite are refused with the range.
    EXPECT_EQ(kivgate::ValueNumberText(
                  ValueFormat{WordFormat::F32, 1, 0, ""},
                  kivgate::ValueOf(ValueFormat{WordFormat::F32, 1, 0, ""}, std::vector<uint16_t>{0x7FC0, 0})),
              "null");
    struct Refusal {
        ValueFormat format;
        double value;
        std::string why;
    };
    const std::vector<Refusal> refusals = {
        {{WordFormat::U16, 1, 0, ""}, 65536, "the value is out of the range of u16: 0 to 65535"},
        {{WordFormat::U16, 1, 0, ""}, -0.6, "the value is out of the range of u16: 0 to 65535"},
        {{WordFormat::I16, 0.1, 0, ""},
         3276.8,
         "the value is out of the range of i16 with its scale and offset: -3276.8 to 3276.7"},
        {{WordFormat::F32, 1, 0, ""}, 1e39, "the value is out of the range of f32: -3.4028235e+38 to 3.4028235e+38"},
        {{WordFormat::I32, 1, 0, ""}, std::numeric_limits<double>::quiet_NaN(), "the value is not a finite number"},
    };
    for (const Refusal& refusal : refusals)
        EXPECT_EQ(kivgate::EncodeValue(refusal.format, refusal.value).why, refusal.why) << refusal.value;
    EXPECT_EQ(kivgate::EncodeValue({WordFormat::U16, 1, 0, ""}, -0.4).words, std::vector<uint16_t>{0});
    const auto range = kivgate::RangeOf({WordFormat::U16, -0.1, 100, ""});
    EXPECT_EQ(range.min, 100 - 6553.5);
    EXPECT_EQ(range.max, 100);
    std::string why;
    EXPECT_FALSE(kivgate::ParseValueFormat({"u64", "", "", ""}, &why));
    EXPECT_EQ(why, "the format \"u64\" is not u16, i16, u32, i32, f32, u32r, i32r or f32r");
    EXPECT_FALSE(kivgate::ParseValueFormat({"", "0", "", ""}, &why));
    EXPECT_FALSE(kivgate::ParseValueFormat({"", "", "nan", ""}, &why));
    EXPECT_EQ(kivgate::ParseValueFormat({"F32R", "0.1", "-40", "degC"}, &why)->format, WordFormat::F32R);
}

// The page's history and writes are fixed rings: hours of exchanges and
// hundreds of writes keep an hour and the last 50, stations not configured
// none.
TEST(KivgateStatus, HistoryAndWritesStayBounded)
{
    using std::chrono::minutes;
    const auto start = std::chrono::system_clock::time_point(std::chrono::hours(490000));
    kivgate::StationHistory history({1, 2});
    for (int minute = 0; minute < 180; ++minute)
        for (int exchange = 0; exchange < 3; ++exchange)
            history.Record(1, exchange != 2, 10.0 * (exchange + 1), start + minutes(minute));
    history.Record(7, true, 1, start);
    struct Row {
        int station;
        std::chrono::system_clock::duration at;
        size_t minutes;
    };
    const Row rows[] = {{1, minutes(179), kivgate::StationHistory::MINUTES},
                        {1, minutes(300), 0},
                        {2, minutes(179), 0},
                        {7, minutes(0), 0}};
    for (const Row& row : rows)
        EXPECT_EQ(history.LastHour(row.station, start + row.at).size(), row.minutes) << row.station;
    const auto hour = history.LastHour(1, start + minutes(179));
    EXPECT_EQ(hour.back().good, 2u);
    EXPECT_EQ(hour.back().failed, 1u);
    EXPECT_EQ(hour.back().latencyMaxMs, 20);
    EXPECT_LT(hour.front().start, hour.back().start);

    kivgate::WriteLog writes;
    for (size_t i = 0; i < 500; ++i)
        writes.Add(kivgate::WriteRecord{{}, "modbus", "t", i, {}, {}});
    const auto kept = writes.Latest();
    ASSERT_EQ(kept.size(), kivgate::WriteLog::KEPT);
    EXPECT_EQ(kept.front().offset, 499u);
    EXPECT_EQ(kept.back().offset, 450u);
}

TEST(KivgateLog, RepeatsAreCountedNotRepeated)
{
    using kivgate::LogRepeats;
    const auto t0 = LogRepeats::Clock::time_point{};
    struct Step {
        const char* event;
        int atS;
        std::vector<std::string> written;
    };
    const std::string counted = "\u2026 3 more like it in the last minute: modbus: client 127.0.0.1:40319 connected";
    const std::vector<Step> steps = {
        {"modbus: client 127.0.0.1:40311 connected", 0, {"modbus: client 127.0.0.1:40311 connected"}},
        {"modbus: client 127.0.0.1:40312 connected", 1, {"modbus: client 127.0.0.1:40312 connected"}},
        {"modbus: client 127.0.0.1:40313 connected", 2, {"modbus: client 127.0.0.1:40313 connected"}},
        {"modbus: client 127.0.0.1:40314 connected", 3, {"modbus: client 127.0.0.1:40314 connected"}},
        {"modbus: client 127.0.0.1:40315 connected", 4, {"modbus: client 127.0.0.1:40315 connected"}},
        {"modbus: client 127.0.0.1:40316 connected", 5, {}},
        {"station 1 (01) stopped answering", 6, {"station 1 (01) stopped answering"}},
        {"station 2 (02) stopped answering", 6, {"station 2 (02) stopped answering"}},  // another station, another kind
        {"modbus: client 127.0.0.1:40318 connected", 7, {}},
        {"modbus: client 127.0.0.1:40319 connected", 8, {}},
        {"modbus: client 127.0.0.1:40320 connected", 61, {counted, "modbus: client 127.0.0.1:40320 connected"}},
    };
    LogRepeats repeats;
    for (const Step& step : steps)
        EXPECT_EQ(repeats.Admit(step.event, t0 + std::chrono::seconds(step.atS)), step.written) << step.event;
    EXPECT_TRUE(repeats.Flush().empty());

    // However many kinds come, only so many are kept, and no count is lost.
    LogRepeats many;
    size_t countLines = 0;
    for (size_t kind = 0; kind < 2 * LogRepeats::KINDS_KEPT; ++kind)
        for (int i = 0; i < LogRepeats::SHOWN_PER_WINDOW + 1; ++i)
            for (const std::string& line :
                 many.Admit("kind " + std::to_string(kind % 100) + " x" + std::to_string(kind / 100), t0))
                countLines += line.rfind("\u2026 1 more", 0) == 0;
    for (const std::string& line : many.Flush())
        countLines += line.rfind("\u2026 1 more", 0) == 0;
    EXPECT_EQ(countLines, 2 * LogRepeats::KINDS_KEPT);
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
    EXPECT_EQ(options.size(), 38u) << help;

    // One --interval default, the same constant's, in kivgate's help and kivhost's.
    const std::vector<std::pair<std::string, std::string>> intervals = {
        {"kivgate", help},
        {"kivhost scan", RunCommand(std::string(KIVHOST_PATH) + " scan --help 2>&1", &status)},
        {"kivhost poll", RunCommand(std::string(KIVHOST_PATH) + " poll --help 2>&1", &status)}};
    for (const auto& [program, text] : intervals) {
        const size_t at = text.find("\n  --interval");
        ASSERT_NE(at, std::string::npos) << program << ":\n" << text;
        const size_t given = text.find("(default ", at);
        ASSERT_NE(given, std::string::npos) << program << ":\n" << text;
        EXPECT_EQ(text.substr(given, text.find(')', given) - given + 1),
                  "(default " + std::to_string(kivhost::DEFAULT_INTERVAL_MS) + ")")
            << program << ":\n"
            << text;
    }

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
    EXPECT_NE(plan.find("  kivgate/building/flow\n"), std::string::npos) << "a relative topic resolved:\n" << plan;
}

}  // namespace
