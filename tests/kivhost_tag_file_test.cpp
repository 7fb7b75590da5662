// Hostile tag files given to kivhost scan and poll --tags: each refused with
// a reason and status 64 before any port is opened, nothing of the file's
// bytes reaching the terminal raw, and no file read without bound; and
// every address kivhost parse refuses, refused in a tag file alike.
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

// Every address kivhost parse refuses, a tag file refuses too, as
// FILE:LINE: why: by the same words where the same code says why (the text
// rule, then the driver's parser through the session), by its own where the
// file has a column of its own (count, type, an empty field).
struct RefusedAddress {
    const char* name;
    std::string address;
    std::string count;     // the count column, and parse's --count; "": none
    std::string type;      // the type column (word or bit), and parse's --type
    const char* says;      // in parse's refusal, and the file's unless fileSays
    const char* fileSays;  // nullptr: says
};
void PrintTo(const RefusedAddress& c, std::ostream* os)
{
    *os << c.name;
}

const RefusedAddress REFUSED_ADDRESSES[] = {
    {"too short", "01W001", "", "", "an address has seven characters", nullptr},
    {"one station digit", "1W0010", "", "", "an address has seven characters", nullptr},
    {"too long", "01W001000", "", "", "it has at most 8 characters", nullptr},
    {"a digit that is not hex", "01W00G0", "", "", "four hex digits follow the operand", nullptr},
    {"station 0", "00W0010", "", "", "the station is two hex digits from 01 to 20", nullptr},
    {"station past 20", "21W0010", "", "", "the station is two hex digits from 01 to 20", nullptr},
    {"an operand the driver lacks", "01C0000", "", "", "the operand is W (word), B (bit), or A or E", nullptr},
    {"a bit digit past F", "01W0010G", "", "", "the eighth character is a bit digit, 0 to F, or nothing", nullptr},
    {"junk after the address", "01W0010X", "", "", "the eighth character is a bit digit", nullptr},
    {"a bit digit on B", "01B01005", "", "", "a bit digit goes on a W word only; B names a bit already", nullptr},
    {"a bit digit on A", "01A00175", "", "", "a bit digit goes on a W word only; A names a bit already", nullptr},
    {"bit 8 of an A byte", "01A0008", "", "", "A takes a byte from 000 to 01F and a bit from 0 to 7", nullptr},
    {"an A byte past 1F", "01A0320", "", "", "A takes a byte from 000 to 01F", nullptr},
    {"a bit of a word in a run", "01W00105", "2", "", "a bit of a word goes alone", nullptr},
    {"a count past 255", "01W0010", "256", "", "give a count from 1 to 255",
     "the count \"256\" is not a number from 1 to 255"},
    {"a count of 0", "01W0010", "0", "", "give a count from 1 to 255", "the count \"0\" is not a number from 1 to 255"},
    {"a bit operand as a word", "01B0100", "", "word", "bit operands (B, A, E) take tag type 6",
     "the type says word but 01B0100 names bits"},
    {"no address", "", "", "", "the value is empty", "the tag has no address"},
};

class RefusedAddresses : public ::testing::TestWithParam<RefusedAddress> {};

TEST_P(RefusedAddresses, RefusedByTheTagFileAsByParse)
{
    const RefusedAddress& c = GetParam();
    std::vector<std::string> parseArgs = {"parse", c.address};
    if (!c.count.empty())
        parseArgs.insert(parseArgs.end(), {"--count", c.count});
    if (!c.type.empty())
        parseArgs.insert(parseArgs.end(), {"--type", c.type == "bit" ? "6" : "0"});
    const Outcome parse = RunKivhost(parseArgs);
    EXPECT_NE(parse.status, 0) << parse.out;
    EXPECT_NE(parse.err.find(c.says), std::string::npos) << parse.err;

    const std::string path = ::testing::TempDir() + "kivhost-" + std::to_string(getpid()) + "-refused.csv";
    std::ofstream(path, std::ios::binary) << HEADER << "tag," << c.address << "," << c.count << "," << c.type << ",\n";
    const Outcome scan = RunKivhost({"scan", path, "--plan"});
    std::remove(path.c_str());
    EXPECT_EQ(scan.status, 64) << scan.out << scan.err;
    if (c.fileSays != nullptr) {
        EXPECT_NE(scan.err.find(path + ":2: " + c.fileSays), std::string::npos) << scan.err;
        return;
    }
    // The same code: parse's line, word for word, the row after it.
    const std::string prefix = "kivhost: ";
    ASSERT_TRUE(parse.err.starts_with(prefix)) << parse.err;
    const std::string why = parse.err.substr(prefix.size(), parse.err.find('\n') - prefix.size());
    EXPECT_NE(scan.err.find(path + ":2: " + why + ": tag,"), std::string::npos) << scan.err << "\nparse: " << why;
}

INSTANTIATE_TEST_SUITE_P(TagFile, RefusedAddresses, ::testing::ValuesIn(REFUSED_ADDRESSES), CaseName());

}  // namespace
