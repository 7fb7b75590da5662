// Hostile tag files given to kivhost scan and poll --tags: each refused with
// a reason and status 64 before any port is opened, nothing of the file's
// bytes reaching the terminal raw, and no file read without bound.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/case_name.h"
#include "tests/kivhost_line_fixture.h"

namespace {

using kivhost_test::Outcome;
using kivhost_test::RunKivhost;

const std::string HEADER = "name,address,count,type,comment\n";

std::string ManyBadRows(int rows)
{
    std::string content = HEADER;
    for (int i = 0; i < rows; ++i)
        content += "t" + std::to_string(i) + ",01C0000\n";  // an operand the driver does not know
    return content;
}

struct HostileCase {
    const char* name;
    std::string content;            // written to the file given as {file}
    std::vector<std::string> args;  // {file}: that file
    std::vector<std::string> says;  // on standard error
    size_t lines;                   // of standard error
};
void PrintTo(const HostileCase& c, std::ostream* os)
{
    *os << c.name;
}

const std::vector<std::string> PLAN = {"scan", "{file}", "--plan"};
const std::vector<std::string> POLL = {"--port", "/dev/null", "poll", "--tags", "{file}"};

const HostileCase HOSTILE_CASES[] = {
    {"a folder", "", {"scan", "/tmp", "--plan"}, {"cannot read the tag file /tmp: it is a folder"}, 1},
    {"a folder to poll", "", {"--port", "/dev/null", "poll", "--tags", "/tmp"}, {"/tmp: it is a folder"}, 1},
    {"memory that does not read",
     "",
     {"--port", "/dev/null", "poll", "--tags", "/proc/self/mem"},
     {"cannot read the tag file /proc/self/mem: "},
     1},
    {"a device without end", "", {"scan", "/dev/zero", "--plan"}, {"/dev/zero: it is larger than 4 MB"}, 1},
    {"a file over the limit", HEADER + std::string(4 * 1024 * 1024, '#'), PLAN, {"larger than 4 MB"}, 1},
    {"NUL in a name",
     HEADER + "pu" + std::string(1, '\0') + "mp,01W0010\nrest,01W0011\n",
     PLAN,
     {":2: a NUL byte at column 3", "pu\\x00mp,01W0010"},
     1},
    {"escape in a comment",
     HEADER + "pump,01W0010,,,\x1b]0;owned\x07\n",
     POLL,
     {":2: a control character at column 16", "\\x1B]0;owned\\x07"},
     1},
    {"DEL in a name", HEADER + "pump\x7f,01W0010\n", PLAN, {":2: a control character at column 5"}, 1},
    {"CR inside a row", HEADER + "pump\r1,01W0010\r\n", PLAN, {":2: a control character at column 5"}, 1},
    {"tab inside a name", HEADER + "\tpump\t1 ,01W0010\n", PLAN, {":2: a tab inside a field"}, 1},
    {"invalid UTF-8", HEADER + "caf\xe9,01W0010\n", PLAN, {":2: bytes that are not UTF-8 at column 4 (0xE9)"}, 1},
    {"a C1 control character",
     HEADER + "x\xc2\x9b"
              "2J,01W0010\n",
     PLAN,
     {":2: a control character at column 2"},
     1},
    {"control character in the header", "name,add\x1bress\n", PLAN, {":1: a control character"}, 1},
    {"many bad rows, the first told",
     ManyBadRows(100000),
     PLAN,
     {":2: ", ":21: ", "... and 99980 more rows refused, 100000 in all"},
     21},
};

class HostileTagFiles : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileTagFiles, RefusedWithAReasonAndStatus64)
{
    const HostileCase& c = GetParam();
    const std::string path = ::testing::TempDir() + "kivhost-" + std::to_string(getpid()) + "-hostile.csv";
    std::ofstream(path, std::ios::binary) << c.content;
    std::vector<std::string> args = c.args;
    for (std::string& arg : args)
        if (arg == "{file}")
            arg = path;
    const Outcome run = RunKivhost(args);
    std::remove(path.c_str());

    EXPECT_EQ(run.status, 64) << run.err;
    EXPECT_EQ(run.out, "");
    for (const std::string& part : c.says)
        EXPECT_NE(run.err.find(part), std::string::npos) << "missing: " << part << "\n" << run.err;
    size_t lines = 0;
    for (const char ch : run.err) {
        const auto byte = static_cast<unsigned char>(ch);
        lines += ch == '\n';
        // Plain ASCII: whatever the file held is shown escaped.
        EXPECT_TRUE(ch == '\n' || (byte >= 0x20 && byte < 0x7F)) << "raw byte " << int(byte) << " in " << run.err;
    }
    EXPECT_EQ(lines, c.lines) << run.err;
    EXPECT_TRUE(run.err.starts_with("kivhost: ")) << run.err;
}

INSTANTIATE_TEST_SUITE_P(TagFile, HostileTagFiles, ::testing::ValuesIn(HOSTILE_CASES), CaseName());

}  // namespace
