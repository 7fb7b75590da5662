// kivhost run as a program against simulated stations on a pseudo-terminal:
// what it prints, what it leaves on the line, and how it exits.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "davodev_version.h"
#include "sim/plc_simulator.h"
#include "tests/case_name.h"
#include "tests/kivhost_line_fixture.h"
#include "tests/wait_until.h"

namespace {

using kivhost_test::Interrupt;
using kivhost_test::KivhostLine;
using kivhost_test::KivhostRunning;
using kivhost_test::Outcome;
using kivhost_test::RunKivhost;

// The example tag file of the docs: pumps and tanks on station 01, a flow
// meter and the building on 02.
const std::string EXAMPLE_TAGS = std::string(KIV_SOURCE_DIR) + "/examples/pump-station.csv";
// Its 15 tags in CSV rows, a row per element of a run: tank levels 4, valves open 8, flow 2.
constexpr size_t EXAMPLE_ROWS = 26;

size_t Occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

size_t CodePoints(const std::string& utf8)
{
    size_t n = 0;
    for (char c : utf8)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// ---------------------------------------------------------------------------
// Just enough JSON to read kivhost's documents back.

struct Json {
    std::variant<std::nullptr_t, bool, double, std::string, std::vector<Json>, std::map<std::string, Json>> value;

    const Json& operator[](const std::string& key) const
    {
        static const Json missing;
        const auto* object = std::get_if<std::map<std::string, Json>>(&value);
        if (object == nullptr || !object->contains(key))
            return missing;
        return object->at(key);
    }
    const Json& operator[](size_t index) const
    {
        static const Json missing;
        const auto* array = std::get_if<std::vector<Json>>(&value);
        return array == nullptr || index >= array->size() ? missing : (*array)[index];
    }
    double Number() const { return std::holds_alternative<double>(value) ? std::get<double>(value) : -1e300; }
    bool Bool() const { return std::holds_alternative<bool>(value) && std::get<bool>(value); }
    bool IsBool() const { return std::holds_alternative<bool>(value); }
    std::string Text() const
    {
        return std::holds_alternative<std::string>(value) ? std::get<std::string>(value) : "<not text>";
    }
    size_t Size() const
    {
        if (const auto* array = std::get_if<std::vector<Json>>(&value))
            return array->size();
        return 0;
    }
};

class JsonReader {
public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    // Fails unless the text is exactly one JSON value.
    bool Read(Json* out)
    {
        if (!Value(out))
            return false;
        Space();
        return at_ == text_.size();
    }

private:
    void Space()
    {
        while (at_ < text_.size() &&
               (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t'))
            ++at_;
    }
    bool Take(char c)
    {
        Space();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    bool String(std::string* out)
    {
        if (!Take('"'))
            return false;
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c == '\\') {
                if (at_ >= text_.size())
                    return false;
                const char e = text_[at_++];
                // kivhost writes no \u escapes for the texts checked here.
                static const std::string_view FROM = "\"\\/bfnrt", TO = "\"\\/\b\f\n\r\t";
                if (FROM.find(e) != std::string_view::npos) {
                    c = TO[FROM.find(e)];
                } else {
                    return false;
                }
            }
            *out += c;
        }
        return Take('"');
    }
    bool Value(Json* out)
    {
        Space();
        if (at_ >= text_.size())
            return false;
        const char c = text_[at_];
        if (c == '{') {
            ++at_;
            std::map<std::string, Json> object;
            if (!Take('}')) {
                do {
                    std::string key;
                    Json item;
                    if (!String(&key) || !Take(':') || !Value(&item))
                        return false;
                    object[key] = item;
                } while (Take(','));
                if (!Take('}'))
                    return false;
            }
            out->value = object;
            return true;
        }
        if (c == '[') {
            ++at_;
            std::vector<Json> array;
            if (!Take(']')) {
                do {
                    Json item;
                    if (!Value(&item))
                        return false;
                    array.push_back(item);
                } while (Take(','));
                if (!Take(']'))
                    return false;
            }
            out->value = array;
            return true;
        }
        for (const auto& [word, meaning] : {std::pair<std::string_view, int>{"true", 1}, {"false", 0}, {"null", -1}}) {
            if (text_.substr(at_, word.size()) == word) {
                at_ += word.size();
                if (meaning < 0)
                    out->value = nullptr;
                else
                    out->value = meaning == 1;
                return true;
            }
        }
        if (c == '"') {
            std::string text;
            if (!String(&text))
                return false;
            out->value = text;
            return true;
        }
        if (text_.substr(at_, 4) == "null") {
            at_ += 4;
            out->value = nullptr;
            return true;
        }
        size_t used = 0;
        try {
            out->value = std::stod(std::string(text_.substr(at_)), &used);
        } catch (...) {
            return false;
        }
        at_ += used;
        return used > 0;
    }

    std::string_view text_;
    size_t at_ = 0;
};

Json ParseJson(const std::string& text)
{
    Json json;
    EXPECT_TRUE(JsonReader(text).Read(&json)) << "not one JSON document: " << text;
    return json;
}

// Each command's table output, exit status and the requests it made.
struct RunCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> out;  // each somewhere in standard output
    std::string err;               // part of the message on standard error; "" for none at all
    int requests;                  // requests the stations saw; -1: not counted
};

void PrintTo(const RunCase& c, std::ostream* os)
{
    *os << c.name;
}

const RunCase RUN_CASES[] = {
    {"info",
     {"info"},
     0,
     {"\xE2\x95\x94\xE2\x95\x90", " K I V U X ", "Version 7.00", "Unitronix PLC", "4140 bytes"},
     "",
     0},
    {"help", {"--help"}, 0, {"Usage: kivhost", "--port NAME", "Exit status"}, "", 0},
    {"help of a command",
     {"write", "--help"},
     0,
     {"kivhost write: ", "Usage: kivhost [options] write ADDR VALUE...", "--port NAME", "--trace[=MODE]"},
     "",
     0},
    {"version",
     {"--version"},
     0,
     {"kivhost " + std::string(kiv::VERSION) + "\n", "driver  DAVODEV serial driver, Unitronix PLCs  Version 7.00 ("},
     "",
     0},
    {"version without a driver",
     {"--lib", "/nonexistent/libDAVODEV.so", "--version"},
     2,
     {"kivhost " + std::string(kiv::VERSION)},
     "cannot load the driver",
     0},
    {"parse a bit of a word",
     {"parse", "01w00105"},
     0,
     {"accepted by SingleAddressParser (tag type 6, count 1)", "bit      5"},
     "",
     0},
    {"parse a block",
     {"parse", "01W0010", "--count", "255"},
     0,
     {"accepted by BlockAddressParser", "width    16"},
     "",
     0},
    {"parse names the byte and bit of A",
     {"parse", "02A01F7"},
     0,
     {"  number   0x01F7 (byte 1F, bit 7)\n", "bit      none (255)"},
     "",
     0},
    {"parse names the byte and bit of an E run",
     {"parse", "01e0030", "--count", "12"},
     0,
     {"accepted by BlockAddressParser", "  number   0x0030 (byte 03, bit 0)\n"},
     "",
     0},
    {"parse of B keeps the plain number", {"parse", "01B0107"}, 0, {"  number   0x0107\n  bit "}, "", 0},
    {"parse rejects an operand", {"parse", "01C0000"}, 1, {"rejected by SingleAddressParser"}, "operand is W", 0},
    {"parse shows the driver's log",
     {"parse", "02A1F7"},
     1,
     {"driver log 32: REVIZ: ParseAddress() Invalid Address Format"},
     "seven characters",
     0},
    {"read words",
     {"--port", "{port}", "read", "01W0010", "--count", "2"},
     0,
     {"01W0010     4660  0x1234", "01W0011    43981  0xABCD", "BlockRead of 2 words from station 1"},
     "",
     1},
    {"read a bit",
     {"--port", "{port}", "read", "02A01F7"},
     0,
     {"02A01F7    1", "SingleRead of 1 bit from station 2"},
     "",
     1},
    {"read a bit of a word",
     {"--port", "{port}", "read", "01W00102"},
     0,
     {"01W00102   1"},
     "",
     1},  // 0x1234: bit 2 set
    {"silent station",
     {"--port", "{port}", "--timeout", "50", "read", "03W0000"},
     2,
     {},
     "no reply from station 3 (03)",
     4},
    {"write words",
     {"--port", "{port}", "write", "01W0030", "0x5A5A", "17"},
     0,
     {"01W0031   <- 0x0011", "BlockWrite to station 1 (01) acknowledged"},
     "",
     1},
    {"set a bit of a word",
     {"--port", "{port}", "write", "01W00100", "1"},
     0,
     {"01W00100: bit 0 set (set/reset frame)"},
     "",
     1},
    {"inputs are not written", {"--port", "{port}", "write", "01E0010", "1"}, 1, {}, "does not write E operands", 0},
    {"bad address is not sent",
     {"--port", "{port}", "read", "01C0010"},
     1,
     {},
     "the driver rejects address \"01C0010\"",
     0},
    {"bit digit in a run", {"--port", "{port}", "read", "01W00105", "--count", "2"}, 1, {}, "BlockAddressParser", 0},
    {"bad value is not sent", {"--port", "{port}", "write", "01B0100", "1", "2"}, 64, {}, "a bit is 0 or 1", 0},
    {"bad option is not sent",
     {"--port", "{port}", "--parity", "odd-ish", "read", "01W0010"},
     64,
     {},
     "bad --parity",
     0},
    {"no port", {"read", "01W0010"}, 64, {}, "no port given", 0},
    {"no command", {}, 64, {}, "no command given", 0},
    {"port that is not there", {"--port", "ttyNOPE", "read", "01W0010"}, 2, {}, "cannot open port \"ttyNOPE\"", 0},
    {"driver that is not there", {"--lib", "/nonexistent/libDAVODEV.so", "info"}, 2, {}, "cannot load the driver", 0},
    {"scan plan, without a port",
     {"scan", EXAMPLE_TAGS, "--plan"},
     0,
     {"15 tags in 7 blocks (max gap 8)", "01W0010 x 20", "tank levels (+16)", "pump 2 fault (+8.9)"},
     "",
     0},
    {"scan plan without grouping", {"scan", EXAMPLE_TAGS, "--plan", "--max-gap", "-1"}, 0, {"15 blocks"}, "", 0},
    {"scan of a missing tag file",
     {"--port", "{port}", "scan", "/nonexistent/tags.csv"},
     64,
     {},
     "cannot read the tag file /nonexistent/tags.csv",
     0},
    {"poll a tag file, a read per tag",
     {"--port", "{port}", "poll", "--tags", EXAMPLE_TAGS, "--cycles", "1"},
     0,
     {"cycle 1: 01W0010 0x1234 (", "02A01F7 1 ("},
     "",
     15},
    {"stations",
     {"--port", "{port}", "stations", "--range", "1-3"},
     0,
     {"1 (01)    yes", "3 (03)    no", "2 of 3 stations answer (", "): 1 (01), 2 (02)\n"},
     "",
     6},
};

class KivhostRun : public KivhostLine, public ::testing::WithParamInterface<RunCase> {};

TEST_P(KivhostRun, OutputStatusAndLine)
{
    const RunCase& c = GetParam();
    const Outcome run = Kivhost(c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    for (const std::string& part : c.out)
        EXPECT_NE(run.out.find(part), std::string::npos) << "missing: " << part << "\n" << run.out;
    if (c.err.empty()) {
        EXPECT_EQ(run.err, "");
    } else {
        EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
        EXPECT_TRUE(run.err.starts_with("kivhost: ")) << run.err;
        EXPECT_EQ(Occurrences(run.err, "\n"), 1u) << "one line: " << run.err;
    }
    // The driver's traces stay out of the results.
    EXPECT_EQ(run.out.find("bytes will be send"), std::string::npos) << run.out;
    EXPECT_EQ(run.err.find("bytes will be send"), std::string::npos) << run.err;
    if (c.requests >= 0) {
        // The station counts a request once its reply is out, which may be
        // after kivhost has read the reply and exited.
        sim_.WaitForRequests(static_cast<uint64_t>(c.requests), std::chrono::seconds(10));
        EXPECT_EQ(sim_.RequestCount(), static_cast<uint64_t>(c.requests));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, KivhostRun, ::testing::ValuesIn(RUN_CASES), CaseName());

// Everything that can be checked without the line is checked first, in the
// order a reader meets it, and nothing is sent when anything is wrong.
const RunCase PRE_LINE_CASES[] = {
    {"run past the W area",
     {"--port", "{port}", "read", "01WFFFF", "--count", "2"},
     64,
     {},
     "goes past 01WFFFF, the last of the W area",
     0},
    {"run past the A area",
     {"--port", "{port}", "read", "01A01F6", "--count", "4"},
     64,
     {},
     "at most 2 elements from there",
     0},
    {"write past the A area", {"--port", "{port}", "write", "01A01F7", "1", "1"}, 64, {}, "goes past 01A01F7", 0},
    {"a bit written as 2",
     {"--port", "{port}", "write", "01B0100", "1", "2"},
     64,
     {},
     "bad value \"2\" for 01B0100: a bit is 0 or 1",
     0},
    {"address before value",
     {"--port", "{port}", "write", "01C00105", "5"},
     1,
     {},
     "the driver rejects address \"01C00105\"",
     0},
    {"address before port", {"--port", "ttyNOPE", "read", "01C0010"}, 1, {}, "the driver rejects address", 0},
    {"run before port",
     {"--port", "ttyNOPE", "poll", "01W0010", "01WFFFF", "--count", "2"},
     64,
     {},
     "goes past 01WFFFF",
     0},
    {"address longer than read",
     {"--port", "{port}", "write", "01W001000", "1"},
     64,
     {},
     "the driver would read only \"01W00100\"",
     0},
    {"parse count as read count", {"parse", "01W0010", "--block", "--count", "256"}, 64, {}, "1 to 255", 0},
    {"count in hex", {"--port", "{port}", "read", "01W0010", "--count", "0x2"}, 0, {"01W0011    43981  0xABCD"}, "", 1},
    {"format and parity that disagree",
     {"--port", "{port}", "--format", "7e1", "--parity", "n", "read", "01W0010"},
     64,
     {},
     "--format 7e1 and --parity n disagree",
     0},
    {"format 8N2", {"--port", "{port}", "--format", "8N2", "read", "01W0010"}, 0, {"01W0010     4660"}, "", 1},
};

INSTANTIATE_TEST_SUITE_P(PreLine, KivhostRun, ::testing::ValuesIn(PRE_LINE_CASES), CaseName());

// ---------------------------------------------------------------------------
// Why an exchange failed, or took more than one attempt, from the driver's
// traces, against the simulator's faults on station 1.

struct ReasonCase {
    const char* name;
    std::optional<plcsim::Fault> standing;
    std::optional<plcsim::Fault> once;  // on the next request only
    std::vector<std::string> args;
    int status;
    std::string reason;  // JSON "reason"; "" when it succeeds
    int attempts;
    std::string says;  // in the one line on failure, in the results on success
};

void PrintTo(const ReasonCase& c, std::ostream* os)
{
    *os << c.name;
}

using plcsim::FaultKind;
const std::vector<std::string> READ_WORD = {"--port", "{port}", "--timeout", "50", "read", "01W0010"};

const ReasonCase REASON_CASES[] = {
    {"no reply",
     std::nullopt,
     std::nullopt,
     {"--port", "{port}", "--timeout", "50", "read", "03W0000"},
     2,
     "no-reply",
     4,
     "no reply from station 3 (03) to the read of 03W0000: 4 attempts, nothing within 50 ms of each; check that a PLC"},
    {"not acknowledged", plcsim::Fault{FaultKind::Nak}, std::nullopt, READ_WORD, 2, "nak", 4,
     "station 1 (01) did not acknowledge the read of 01W0010 (\"/N01RW"},
    {"another station", plcsim::Fault{FaultKind::WrongStation, 1.0, 2}, std::nullopt, READ_WORD, 2, "wrong-station", 4,
     "station 2 (02) answered the read of 01W0010 meant for station 1 (01)"},
    {"short", plcsim::Fault{FaultKind::Truncate, 1.0, 5}, std::nullopt, READ_WORD, 2, "short", 4,
     "the last 5 of 13 characters"},
    {"garbled", plcsim::Fault{FaultKind::Noise}, std::nullopt, READ_WORD, 2, "garbled", 4, "--baud and --format"},
    {"not acknowledged write",
     plcsim::Fault{FaultKind::Nak},
     std::nullopt,
     {"--port", "{port}", "--timeout", "50", "write", "01W0030", "1"},
     2,
     "nak",
     4,
     "and may be written"},
    {"good at the second attempt", std::nullopt, plcsim::Fault{FaultKind::Silent}, READ_WORD, 0, "", 2,
     "in 0.00 ms, 2 attempts (1 no reply)"},
    {"possibly late", std::nullopt, plcsim::Fault{FaultKind::Silent}, READ_WORD, 0, "", 2,
     "Note: possibly a late answer"},
    // A flipped bit is still a bit: only its checksum tells.
    {"checksum",
     plcsim::Fault{FaultKind::Corrupt},
     std::nullopt,
     {"--port", "{port}", "--timeout", "50", "read", "01B0100"},
     0,
     "",
     1,
     "checksum? the reply does not end"},
    {"damaged data", plcsim::Fault{FaultKind::Corrupt}, std::nullopt, READ_WORD, 2, "bad-data", 1,
     "to the read of 01W0010 came with damaged data"},
    {"write acknowledged by another station",
     plcsim::Fault{FaultKind::WrongStation, 1.0, 2},
     std::nullopt,
     {"--port", "{port}", "--timeout", "50", "write", "01W0030", "1"},
     2,
     "wrong-station",
     1,
     "acknowledged by station 2 (02), not station 1 (01): the write may not have reached station 1 (01)"},
};

class KivhostReason : public KivhostLine, public ::testing::WithParamInterface<ReasonCase> {};

TEST_P(KivhostReason, ReasonAttemptsAndAdvice)
{
    const ReasonCase& c = GetParam();
    for (bool json : {false, true}) {
        sim_.ClearFaults(1);
        if (c.standing)
            sim_.SetFault(1, *c.standing);
        if (c.once)
            sim_.ScriptFault(1, *c.once, 1);
        std::vector<std::string> args = c.args;
        if (json)
            args.push_back("--json");
        const Outcome run = Kivhost(args);
        EXPECT_EQ(run.status, c.status) << run.err;
        if (json) {
            const Json result = ParseJson(run.out);
            EXPECT_EQ(result["attempts"].Number(), c.attempts) << run.out;
            EXPECT_EQ(result["outcomes"].Size(), static_cast<size_t>(c.attempts)) << run.out;
            EXPECT_FALSE(result["time"].Text().empty());
            if (c.reason.empty()) {
                EXPECT_TRUE(result["reason"].Text() == "<not text>") << run.out;
            } else {
                EXPECT_EQ(result["reason"].Text(), c.reason) << run.out;
                EXPECT_EQ("kivhost: " + result["message"].Text() + "\n", run.err);
            }
        } else if (c.status == 0) {
            // "in 0.00 ms" stands for any time.
            const std::string says = c.says.starts_with("in 0.00 ms") ? c.says.substr(10) : c.says;
            EXPECT_NE(run.out.find(says), std::string::npos) << run.out;
        } else {
            EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
            EXPECT_EQ(Occurrences(run.err, "\n"), 1u) << run.err;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, KivhostReason, ::testing::ValuesIn(REASON_CASES), CaseName());

TEST_F(KivhostLine, ChecksumsAreFlaggedUntilAStationNeverMatches)
{
    sim_.SetFault(1, plcsim::Fault{FaultKind::Corrupt});
    sim_.ScriptFault(1, plcsim::Fault{FaultKind::Silent}, 1);
    // Bits: a damaged word would be bad data, not a checksum to doubt.
    const Outcome run = Kivhost(
        {"--port", "{port}", "--json", "--timeout", "50", "poll", "01B0100", "--cycles", "5", "--interval", "0"});
    EXPECT_EQ(run.status, 0) << run.err;
    // Named once, on the reply whose flag it stops.
    EXPECT_EQ(Occurrences(run.err, "station 1 (01) does not use this reply checksum"), 1u) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 5u) << run.out;
    for (size_t i = 0; i < lines.size(); ++i) {
        const Json tag = ParseJson(lines[i])["tags"][0];
        EXPECT_EQ(tag["checksum_suspect"].Bool(), i < 3) << lines[i];  // kivhost's CHECKSUM_FLAGS_BEFORE_TRUST
        // The silent first attempt: a retry, and the reply after it may be late.
        EXPECT_EQ(tag["attempts"].Number(), i == 0 ? 2 : 1) << lines[i];
        EXPECT_EQ(tag["possibly_late"].Bool(), i == 0) << lines[i];
        EXPECT_EQ(tag["retries"].Number(), 1) << lines[i];
    }
}

// ---------------------------------------------------------------------------
// A port that cannot be used is told apart, before the driver opens it or
// after it refused; nothing is sent.

struct PortCase {
    const char* name;
    std::function<std::string(KivhostLine&)> port;  // the --port to give
    std::string says;
};

void PrintTo(const PortCase& c, std::ostream* os)
{
    *os << c.name;
}

// A path the driver's 11 characters hold, for this process only.
std::string ShortPath(char kind)
{
    return "/tmp/k" + std::string(1, kind) + std::to_string(getpid() % 10000);
}

const PortCase PORT_CASES[] = {
    {"missing", [](KivhostLine&) { return std::string("ttyNOPE"); },
     "cannot open port \"ttyNOPE\" (/dev/ttyNOPE): it does not exist; "},
    {"directory", [](KivhostLine&) { return std::string("/tmp"); },
     "cannot open port \"/tmp\": it is a directory, not a serial port"},
    {"regular file",
     [](KivhostLine&) {
         const std::string path = ShortPath('f');
         std::FILE* file = std::fopen(path.c_str(), "w");
         if (file != nullptr)
             std::fclose(file);
         return path;
     },
     "it is a regular file, not a serial port"},
    {"link to nothing",
     [](KivhostLine&) {
         const std::string path = ShortPath('l');
         unlink(path.c_str());
         EXPECT_EQ(symlink("/dev/pts/999999", path.c_str()), 0);
         return path;
     },
     "it is a link to /dev/pts/999999, which does not exist"},
    {"held by another program",
     [](KivhostLine& line) {
         line.HoldPort();
         return line.Path();
     },
     "it is locked by another program: pid " + std::to_string(getpid()) + " ("},
};

class KivhostPort : public KivhostLine, public ::testing::WithParamInterface<PortCase> {
protected:
    void TearDown() override
    {
        for (char kind : {'f', 'l'})
            unlink(ShortPath(kind).c_str());
        KivhostLine::TearDown();
    }
};

TEST_P(KivhostPort, SaysWhatIsInTheWay)
{
    const std::string port = GetParam().port(*this);
    const Outcome run = Kivhost({"--port", port, "--timeout", "50", "read", "01W0010"});
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find(GetParam().says), std::string::npos) << run.err;
    EXPECT_EQ(Occurrences(run.err, "\n"), 1u) << run.err;
    EXPECT_EQ(sim_.RequestCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Checks, KivhostPort, ::testing::ValuesIn(PORT_CASES), CaseName());

TEST_F(KivhostLine, WritesReachTheStation)
{
    ASSERT_EQ(Kivhost({"--port", "{port}", "write", "01W0030", "0x5A5A", "17"}).status, 0);
    EXPECT_EQ(sim_.Word(1, 0x30), 0x5A5A);
    EXPECT_EQ(sim_.Word(1, 0x31), 17);

    ASSERT_EQ(Kivhost({"--port", "{port}", "write", "01W00303", "1"}).status, 0);
    EXPECT_EQ(sim_.Word(1, 0x30), 0x5A5A | 0x8);
    ASSERT_EQ(Kivhost({"--port", "{port}", "write", "01W00301", "0"}).status, 0);
    EXPECT_EQ(sim_.Word(1, 0x30), (0x5A5A | 0x8) & ~0x2);

    ASSERT_EQ(Kivhost({"--port", "{port}", "write", "01B0100", "1", "0", "1"}).status, 0);
    EXPECT_TRUE(sim_.Bit(1, 'B', 0x100));
    EXPECT_FALSE(sim_.Bit(1, 'B', 0x101));
    EXPECT_TRUE(sim_.Bit(1, 'B', 0x102));

    // And back through kivhost.
    const Outcome back = Kivhost({"--port", "{port}", "read", "01B0100", "--count", "3", "--json"});
    EXPECT_EQ(ParseJson(back.out)["values"][2].Number(), 1);
}

TEST_F(KivhostLine, JsonDocumentsReadBack)
{
    const Json read = ParseJson(Kivhost({"--port", "{port}", "--json", "read", "01W0010", "--count", "2"}).out);
    EXPECT_EQ(read["command"].Text(), "read");
    EXPECT_EQ(read["status"].Text(), "SUCCESS");
    EXPECT_EQ(read["values"].Size(), 2u);
    EXPECT_EQ(read["values"][0].Number(), 0x1234);
    EXPECT_EQ(read["values"][1].Number(), 0xABCD);
    EXPECT_EQ(read["addresses"][1].Text(), "01W0011");
    EXPECT_GE(read["ms"].Number(), 0);

    const Json parse = ParseJson(Kivhost({"parse", "02a01F7", "--json"}).out);
    EXPECT_EQ(parse["result"].Number(), 0);
    EXPECT_EQ(parse["parser"].Text(), "SingleAddressParser");
    EXPECT_EQ(parse["address"]["station"].Number(), 2);
    EXPECT_EQ(parse["address"]["operand"].Text(), "A");
    EXPECT_EQ(parse["address"]["number"].Number(), 0x1F7);
    EXPECT_EQ(parse["address"]["width"].Number(), 1);
    EXPECT_EQ(parse["byte_bit"]["byte"].Number(), 0x1F);
    EXPECT_EQ(parse["byte_bit"]["bit"].Number(), 7);
    const Json wordBit = ParseJson(Kivhost({"parse", "01W00105", "--json"}).out);
    EXPECT_EQ(wordBit["address"]["bit"].Number(), 5);
    EXPECT_TRUE(std::holds_alternative<std::nullptr_t>(wordBit["byte_bit"].value));

    const Json info = ParseJson(Kivhost({"info", "--json"}).out);
    EXPECT_EQ(info["channel_block_size"].Number(), 4140);
    EXPECT_EQ(info["words"][0].Number(), 70);
    const std::vector<std::string> banner = Lines(info["banner"].Text());
    ASSERT_EQ(banner.size(), 7u);  // the leading line feed, then six framed lines
    for (size_t i = 1; i < banner.size(); ++i)
        EXPECT_EQ(CodePoints(banner[i]), 62u) << banner[i];

    // A failure is still a document, with the stage that decided it.
    const Outcome silent = Kivhost({"--port", "{port}", "--json", "--timeout", "30", "read", "03W0000"});
    EXPECT_EQ(silent.status, 2);
    const Json failed = ParseJson(silent.out);
    EXPECT_EQ(failed["stage"].Text(), "SingleRead");
    EXPECT_EQ(failed["status"].Text(), "RECOVERY_ERROR");
    EXPECT_EQ(failed["values"].Size(), 0u);

    const Outcome rejected = Kivhost({"--port", "{port}", "--json", "write", "01E0010", "1"});
    EXPECT_EQ(ParseJson(rejected.out)["status"].Text(), "REJECTED");
    EXPECT_EQ(ParseJson(rejected.out)["reason"].Text(), "rejected");

    // Every failure document says why, with the one line of standard error.
    for (const auto& [args, reason] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--port", "ttyNOPE", "--json", "read", "01W0010"}, "port"},
             {{"--port", "{port}", "--json", "read", "01WFFFF", "--count", "2"}, "check"},
             {{"--port", "{port}", "--json", "read", "01C0010"}, "rejected"},
             {{"--json", "parse", "01C0010"}, "rejected"}}) {
        const Outcome run = Kivhost(args);
        const Json failure = ParseJson(run.out);
        EXPECT_EQ(failure["reason"].Text(), reason) << run.out;
        EXPECT_FALSE(failure["time"].Text().empty()) << run.out;
        EXPECT_EQ("kivhost: " + failure["message"].Text() + "\n", run.err);
    }
}

TEST_F(KivhostLine, PollPrintsOneLinePerCycle)
{
    const Outcome run =
        Kivhost({"--port", "{port}", "poll", "01W0010", "02A01F7", "--cycles", "3", "--interval", "10"});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(lines[i].starts_with("cycle " + std::to_string(i + 1) + ": 01W0010 0x1234 (")) << lines[i];
        EXPECT_NE(lines[i].find("; 02A01F7 1 ("), std::string::npos) << lines[i];
        EXPECT_NE(lines[i].find("good " + std::to_string(i + 1) + ", failed 0"), std::string::npos) << lines[i];
    }
    sim_.WaitForRequests(6, std::chrono::seconds(10));
    EXPECT_EQ(sim_.RequestCount(), 6u);
}

TEST_F(KivhostLine, PollJsonCountsGoodAndFailedExchanges)
{
    const Outcome run = Kivhost({"--port", "{port}", "--json", "--timeout", "20", "poll", "01W0010", "03W0000",
                                 "--count", "2", "--cycles", "2", "--interval", "0"});
    EXPECT_EQ(run.status, 2);  // some exchanges failed
    EXPECT_NE(run.err.find("2 of 4 reads failed"), std::string::npos) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
    for (size_t i = 0; i < lines.size(); ++i) {
        const Json cycle = ParseJson(lines[i]);
        EXPECT_EQ(cycle["cycle"].Number(), static_cast<double>(i + 1));
        const Json& good = cycle["tags"][0];
        EXPECT_EQ(good["values"][1].Number(), 0xABCD);
        EXPECT_EQ(good["good"].Number(), static_cast<double>(i + 1));
        const Json& silent = cycle["tags"][1];
        EXPECT_EQ(silent["status"].Text(), "RECOVERY_ERROR");
        EXPECT_EQ(silent["failed"].Number(), static_cast<double>(i + 1));
        EXPECT_EQ(silent["values"].Size(), 0u);
    }
}

TEST_F(KivhostLine, PollUntilCtrlCEndsTheDriverAndSucceeds)
{
    const Outcome run = Kivhost({"--port", "{port}", "--trace", "poll", "01W0010", "--interval", "20"},
                                {[](const Outcome& so) { return so.out.find("cycle 2:") != std::string::npos; }});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("cycle 2: 01W0010 0x1234"), std::string::npos) << run.out;
    EXPECT_NE(
        run.err.find("kivhost: stopping after the current exchange: usually within 4.1 s (4 attempts of --timeout "
                     "1000 ms; a reply still trickling in takes longer); Ctrl-C again ends at once\n"),
        std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("32 Bit driver Ended"), std::string::npos) << run.err;
}

TEST_F(KivhostLine, PollChecksEveryAddressBeforeTheFirstRequest)
{
    const Outcome run = Kivhost({"--port", "{port}", "poll", "01W0010", "01X0010", "--cycles", "1"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("\"01X0010\""), std::string::npos) << run.err;
    EXPECT_EQ(sim_.RequestCount(), 0u);
}

TEST_F(KivhostLine, TraceShowsTheDriversLinesApartFromTheResults)
{
    const Outcome run = Kivhost({"--port", "{port}", "--trace", "read", "01W0010"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("01W0010     4660  0x1234"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("REVIZ"), std::string::npos) << run.out;
    // A frame a line, whole, in the order of the line; the log lines marked.
    const std::vector<std::string> lines = Lines(run.err);
    std::vector<std::string> tags;
    for (const std::string& line : lines) {
        ASSERT_GT(line.size(), 20u) << line;
        EXPECT_NE(line.find_first_of("0123456789"), std::string::npos) << "a time in ms: " << line;
        tags.push_back(line.substr(12, 6));
    }
    EXPECT_EQ(tags, (std::vector<std::string>{"log 16", "log 16", "TX    ", "RX    ", "log 16"})) << run.err;
    EXPECT_NE(run.err.find("  TX      /01RW0010012C\\r\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("  RX      /A01RW123415\\r\n"), std::string::npos) << run.err;
    // The code page 437 decoration of the log, shown as UTF-8.
    EXPECT_NE(run.err.find("  log 16  REVIZ: \xE2\x96\x91\xE2\x96\x91\xE2\x96\x92"), std::string::npos) << run.err;

    const Outcome hex = Kivhost({"--port", "{port}", "--trace=hex", "read", "01W0010"});
    EXPECT_NE(hex.err.find("  2F 30 31 52 57 30 30 31 30 30 31 32 43 0D\n"), std::string::npos) << hex.err;

    // The driver's own form, with its log lines, in the order it made them.
    const Outcome raw = Kivhost({"--port", "{port}", "--trace=raw", "read", "01W0010"});
    EXPECT_NE(raw.err.find("log 16| REVIZ: 14 bytes will be send\n"
                           "trace| REVIZ: 14 bytes will be send\n"
                           "trace| (/01RW0010012C.)\n"
                           "trace| REVIZ: 7 bytes received\n"
                           "trace| (/A01RW1)\n"),
              std::string::npos)
        << raw.err;

    // The same into a file, and nothing on standard error.
    const std::string file = ::testing::TempDir() + "kivhost-trace.txt";
    const Outcome filed = Kivhost({"--port", "{port}", "--trace-file", file, "read", "01W0010"});
    EXPECT_EQ(filed.err, "");
    std::ifstream in(file);
    const std::string traced((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(traced.find("  TX      /01RW0010012C\\r\n"), std::string::npos) << traced;
    std::remove(file.c_str());
}

// ---------------------------------------------------------------------------
// scan

std::string TempPath(const std::string& name)
{
    const std::string path = ::testing::TempDir() + "kivhost-" + std::to_string(getpid()) + "-" + name;
    std::remove(path.c_str());
    return path;
}

void WriteFile(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> FileLines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The seconds of an ISO 8601 UTC time stamp with milliseconds.
double Seconds(const std::string& iso)
{
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, ms = 0;
    EXPECT_EQ(std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &y, &mo, &d, &h, &mi, &sec, &ms), 7) << iso;
    const std::chrono::sys_days day{std::chrono::year{y} / mo / d};
    return static_cast<double>(day.time_since_epoch() / std::chrono::seconds(1)) + h * 3600 + mi * 60 + sec +
           ms / 1000.0;
}

TEST_F(KivhostLine, ScanSetsASilentStationAsideAndRetriesItUntilItAnswers)
{
    // Station 02 misses two exchanges of four attempts: set aside, a retry that fails too, then back.
    plcsim::Fault silent;
    silent.kind = plcsim::FaultKind::Silent;
    sim_.ScriptFault(2, silent, 8);
    const std::string csv = TempPath("scan.csv");
    const std::string jsonl = TempPath("scan.jsonl");
    const Outcome run = Kivhost({"--port", "{port}", "--timeout", "30", "scan", EXAMPLE_TAGS, "--interval", "20",
                                 "--retry-down", "1", "--csv", csv, "--jsonl", jsonl},
                                {[](const Outcome& so) { return so.err.find("answers again") != std::string::npos; }});
    EXPECT_EQ(run.status, 2) << run.err;  // reads failed on the way

    // The retry came no sooner than --retry-down after the failure (the times are the logged reads' ends).
    const std::regex event(
        "kivhost: (\\S+) station 2 \\(02\\) (stopped answering|still does not answer) \\(no reply, 4 "
        "attempts");
    std::vector<double> failures;
    for (const std::string& line : Lines(run.err))
        if (std::smatch m; std::regex_search(line, m, event))
            failures.push_back(Seconds(m[1]));
    ASSERT_EQ(failures.size(), 2u) << run.err;
    EXPECT_GE(failures[1] - failures[0], 1.0) << run.err;

    const std::vector<std::string> lines = FileLines(csv);
    const std::vector<std::string> objects = FileLines(jsonl);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "time,name,address,value,quality,reason,attempts");
    ASSERT_EQ((lines.size() - 1) % EXAMPLE_ROWS, 0u) << "whole cycles of the 15 tags, a row per element of a run";
    ASSERT_EQ(objects.size(), (lines.size() - 1) / EXAMPLE_ROWS * 15) << "an object per tag";
    // A letter a cycle: the quality of station 02's first block, asked on the retries, and of another of its tags.
    std::string retried;
    std::string other;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string> f;
        std::stringstream row(lines[i]);
        for (std::string field; std::getline(row, field, ',');)
            f.push_back(field);
        f.resize(7);
        const std::string& quality = f[4];
        const size_t cycle = (i - 1) / EXAMPLE_ROWS;
        const std::string cycleTime = lines[1 + cycle * EXAMPLE_ROWS].substr(0, 24);
        EXPECT_EQ(f[0], cycleTime) << "one time for the rows of a cycle: " << lines[i];
        if (f[2].starts_with("01")) {
            EXPECT_EQ(quality + f[5] + f[6], "good1") << lines[i];
        }
        if (f[1] == "pump 1 current") {
            EXPECT_EQ(f[3], "43981");
        }
        if (f[1] == "heating on") {
            retried += quality[0];
            const std::string expected = quality == "failed" ? "no-reply4" : quality == "down" ? "no-reply0" : "1";
            EXPECT_EQ((quality == "good" ? f[3] : f[5] + f[6]), expected) << lines[i];
        }
        if (f[1] == "flow[0]")
            other += quality[0];

        // The same in JSON: the tag's object of the cycle, and of a run the element's value.
        std::string name = f[1];
        int element = -1;
        if (std::smatch m; std::regex_match(f[1], m, std::regex("(.*)\\[([0-9]+)\\]"))) {
            name = m[1];
            element = std::stoi(m[2]);
        }
        std::optional<Json> object;
        for (size_t k = cycle * 15; k < (cycle + 1) * 15; ++k)
            if (Json o = ParseJson(objects[k]); o["name"].Text() == name)
                object = o;
        ASSERT_TRUE(object.has_value()) << lines[i];
        const Json& o = *object;
        EXPECT_EQ(o["time"].Text(), f[0]);
        std::string value;
        for (size_t k = 0; k < o["value"].Size(); ++k)
            if (element < 0 || static_cast<size_t>(element) == k)
                value += (value.empty() ? "" : " ") + std::to_string(static_cast<int>(o["value"][k].Number()));
        EXPECT_EQ(value, f[3]) << lines[i];
        if (element < 0) {
            EXPECT_EQ(o["address"].Text(), f[2]);
        }
        EXPECT_EQ(o["quality"].Text(), quality);
        EXPECT_EQ(o["reason"].Text(), f[5]);
        EXPECT_EQ(o["attempts"].Number(), std::stod(f[6]));
    }
    // f failed, d down (not asked), g good.
    EXPECT_TRUE(std::regex_match(retried, std::regex("fd+fd+g+"))) << retried;
    EXPECT_TRUE(std::regex_match(other, std::regex("d+g+"))) << other;
}

// At the end of a run on a line where station 3 is missing and station 2
// refuses every read: every station that failed, the block still set aside,
// and, once, that the cycles take longer than --interval.
struct SummaryCase {
    const char* name;
    std::vector<std::string> args;  // "{tags}": station 1's 01W0010, 2's 02W0010, 3's 03W0000
    std::vector<std::string> err;   // each in the last line of standard error
};

void PrintTo(const SummaryCase& c, std::ostream* os)
{
    *os << c.name;
}

const SummaryCase SUMMARY_CASES[] = {
    {"poll",
     {"poll", "01W0010", "02W0010", "03W0000"},
     {"4 of 6 reads failed, at station 2 (02): 02W0010 (2 of 2); station 3 (03): 03W0000 (2 of 2); the last: "}},
    {"scan",
     {"scan", "{tags}"},
     {"2 of 4 block reads failed, at 2 (02), 3 (03); not answering at the end: 3 (03) (no reply since ",
      "; blocks set aside at the end: 02W0010 x 1 (station 2 (02), not acknowledged)"}},
};

class KivhostSummary : public KivhostLine, public ::testing::WithParamInterface<SummaryCase> {};

TEST_P(KivhostSummary, NamesEveryFailureAndTheOverrunOnce)
{
    plcsim::Fault nak;
    nak.kind = plcsim::FaultKind::Nak;
    sim_.SetFault(2, nak);
    const std::string tags = TempPath("summary.csv");
    WriteFile(tags, "name,address\ngood,01W0010\nrefused,02W0010\nmissing,03W0000\n");
    std::vector<std::string> args = {"--port", "{port}", "--timeout", "30"};
    for (const std::string& arg : GetParam().args)
        args.push_back(arg == "{tags}" ? tags : arg);
    args.insert(args.end(), {"--cycles", "2", "--interval", "10"});

    const Outcome run = Kivhost(args);
    EXPECT_EQ(run.status, 2) << run.err;
    const std::vector<std::string> lines = Lines(run.err);
    ASSERT_FALSE(lines.empty());
    for (const std::string& part : GetParam().err)
        EXPECT_NE(lines.back().find(part), std::string::npos) << "missing: " << part << "\n" << run.err;
    // Station 3's four time-outs make the first cycle far longer than 10 ms; the second is about as long or shorter.
    EXPECT_EQ(Occurrences(run.err, "kivhost: cycles take "), 1u) << run.err;
    EXPECT_NE(run.err.find(", more than --interval 10 ms\n"), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Ends, KivhostSummary, ::testing::ValuesIn(SUMMARY_CASES), CaseName());

TEST_F(KivhostLine, ScanCsvHasARowPerElementOfARunAndJsonLinesItsArray)
{
    const std::string tags = TempPath("run.csv");
    const std::string csv = TempPath("run-log.csv");
    const std::string jsonl = TempPath("run-log.jsonl");
    WriteFile(tags, "name,address,count\npair,01W0010,2\none,01W0011,1\n");
    const Outcome run = Kivhost({"--port", "{port}", "scan", tags, "--cycles", "1", "--csv", csv, "--jsonl", jsonl});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> rows;
    for (const std::string& line : FileLines(csv))
        rows.push_back(line.substr(line.find(',') + 1));  // without the time
    EXPECT_EQ(rows,
              (std::vector<std::string>{"name,address,value,quality,reason,attempts", "pair[0],01W0010,4660,good,,1",
                                        "pair[1],01W0011,43981,good,,1", "one,01W0011,43981,good,,1"}));
    const std::vector<std::string> objects = FileLines(jsonl);
    ASSERT_EQ(objects.size(), 2u);
    const Json pair = ParseJson(objects[0]);
    EXPECT_EQ(pair["address"].Text(), "01W0010");
    ASSERT_EQ(pair["value"].Size(), 2u);
    EXPECT_EQ(pair["value"][1].Number(), 0xABCD);
}

TEST_F(KivhostLine, ScanStopsAfterTheExchangeOnCtrlCAndEndsTheDriver)
{
    const std::string csv = TempPath("stop.csv");
    const Outcome run = Kivhost({"--port", "{port}", "--trace", "scan", EXAMPLE_TAGS, "--interval", "20", "--csv", csv},
                                {[](const Outcome& so) { return so.out.find("cycle 2:") != std::string::npos; }});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(
        run.err.find("kivhost: stopping after the current exchange: usually within 4.4 s (4 attempts of --timeout "
                     "1000 ms; a reply still trickling in takes longer); Ctrl-C again ends at once\n"),
        std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("32 Bit driver Ended"), std::string::npos) << run.err;
    const std::vector<std::string> lines = FileLines(csv);
    EXPECT_GE(lines.size(), 1u + 2 * EXAMPLE_ROWS);
    EXPECT_EQ((lines.size() - 1) % EXAMPLE_ROWS, 0u) << "whole cycles only";
}

TEST_F(KivhostLine, ScanEndsAtOnceOnASecondCtrlCDuringAnExchange)
{
    const std::string tags = TempPath("nobody.csv");
    WriteFile(tags, "name,address\nnobody,03W0000\n");
    const Outcome run =
        Kivhost({"--port", "{port}", "--timeout", "10000", "--trace", "scan", tags},
                {[](const Outcome& so) { return so.err.find("bytes will be send") != std::string::npos; },
                 [](const Outcome& so) { return so.err.find("Ctrl-C again") != std::string::npos; }});
    EXPECT_EQ(run.status, 130) << run.err;
    EXPECT_NE(run.err.find("kivhost: stopped at once, in the middle of an exchange"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("Ended"), std::string::npos) << "no EndKiv inside an exchange";
}

TEST_F(KivhostLine, ScanChecksEveryRowBeforeThePortOpens)
{
    const std::string tags = TempPath("bad.csv");
    WriteFile(tags, "name,address,count\nfine,01W0010\nlong,01W001000\nrun,01WFFFF,2\n");
    const Outcome run = Kivhost({"--port", "{port}", "scan", tags});
    EXPECT_EQ(run.status, 64);
    const std::vector<std::string> lines = Lines(run.err);
    ASSERT_EQ(lines.size(), 2u) << run.err;
    EXPECT_EQ(lines[0], "kivhost: " + tags +
                            ":3: \"01W001000\" is not an address: it has at most 8 characters (station, "
                            "operand, four hex digits, and a bit digit for a bit of a W word), e.g. 01W0010 or "
                            "01W00105; the driver would read only \"01W00100\": long,01W001000");
    EXPECT_TRUE(lines[1].starts_with("kivhost: " + tags + ":4: a run of 2 from 01WFFFF goes past")) << lines[1];
    EXPECT_EQ(sim_.RequestCount(), 0u);
}

TEST_F(KivhostLine, DemoRunsOnItsOwn)
{
    const Outcome run = Kivhost({"demo"});
    EXPECT_EQ(run.status, 0) << run.err;
    for (const char* part :
         {" K I V U X ", "1. GetKivInfo", "2. ColdStart", "3. SingleAddressParser", "4. BlockRead",
          "0x1234 0xABCD 0x0007 0x00FF", "5. SingleRead", "6. SingleWrite", "read back 0x5A5A", "7. SingleWrite",
          "word 0x5A5B", "8. SingleRead", "-> RECOVERY_ERROR", "4 attempts, 4 with no reply", "9. EndKiv"})
        EXPECT_NE(run.out.find(part), std::string::npos) << "missing: " << part << "\n" << run.out;
    EXPECT_EQ(run.out.find("REVIZ"), std::string::npos);
    EXPECT_EQ(sim_.RequestCount(), 0u);  // its own stations, not these

    const Outcome json = Kivhost({"demo", "--json"});
    EXPECT_EQ(json.status, 0) << json.err;
    const Json demo = ParseJson(json.out);
    ASSERT_EQ(demo["steps"].Size(), 9u);
    EXPECT_EQ(demo["steps"][7]["status"].Text(), "RECOVERY_ERROR");
    EXPECT_EQ(demo["steps"][7]["detail"]["attempts"].Number(), 4);

    const Outcome traced = Kivhost({"demo", "--trace"});
    EXPECT_EQ(traced.status, 0) << traced.err;
    EXPECT_EQ(Occurrences(traced.err, "  TX      /03RW0000012D\\r\n"), 4u) << traced.err;
    EXPECT_EQ(Occurrences(traced.err, "  RX      (nothing)   no reply, attempt "), 4u) << traced.err;
}

// A real pair of ports, as a null-modem cable joins them (two pseudo-terminals
// joined by socat): the stations answer on --sim-port, the driver on --port.
TEST_F(KivhostLine, DemoServesItsStationsOnAJoinedPort)
{
    const std::string dir = ::testing::TempDir() + "kivhost-demo-pair-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    const std::string a = dir + "/a";
    const std::string b = dir + "/b";
    kivhost_test::KivhostRunning socat({"pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b}, "/usr/bin/socat");
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(a) && std::filesystem::exists(b); }))
        << "socat made no pair";
    const std::string driverPort = std::filesystem::canonical(a).string();  // /dev/pts/N: short enough for the driver
    const std::string stationsPort = std::filesystem::canonical(b).string();

    const Outcome run = RunKivhost({"--port", driverPort, "demo", "--sim-port", stationsPort});
    EXPECT_EQ(run.status, 0) << run.err;
    for (const std::string& part : {"on " + stationsPort + ", the driver on " + driverPort + " joined to it",
                                    std::string("0x1234 0xABCD 0x0007 0x00FF"), std::string("read back 0x5A5A"),
                                    std::string("4 attempts, 4 with no reply")})
        EXPECT_NE(run.out.find(part), std::string::npos) << "missing: " << part << "\n" << run.out;
    EXPECT_EQ(sim_.RequestCount(), 0u);
    std::filesystem::remove_all(dir);
}

// ---------------------------------------------------------------------------
// The man page and the bash completion, against the program's own help.

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Standard output of a bash script run with the completion loaded.
std::string Complete(const std::string& words)
{
    const std::string script = "source '" KIV_SOURCE_DIR "/kivhost/completion/kivhost.bash'; COMP_WORDS=(" + words +
                               "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _kivhost; printf '%s\\n' \"${COMPREPLY[@]}\"";
    std::string out;
    if (std::FILE* pipe = popen(("bash 2>&1 <<'EOF'\n" + script + "\nEOF\n").c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

TEST(KivhostDocs, ManPageAndCompletionKnowEveryCommandAndOption)
{
    const std::vector<std::string> commands = {"info", "parse",    "read", "write",  "poll",
                                               "scan", "stations", "demo", "decode", "monitor"};
    std::string help = RunKivhost({"--help"}).out;
    for (const std::string& command : commands)
        help += RunKivhost({command, "--help"}).out;
    const std::string letters = "abcdefghijklmnopqrstuvwxyz-";
    std::set<std::string> options;  // every "--name" the help lists in its left column
    for (const std::string& line : Lines(help)) {
        const size_t at = line.find("--");
        if (at == std::string::npos || line.find_first_not_of(" -h,") < at)
            continue;
        options.insert(line.substr(at, line.find_first_not_of(letters, at + 2) - at));
    }
    EXPECT_EQ(options.size(), 29u) << help;
    // text holds word where neither neighbour could continue it.
    auto holds = [&letters](const std::string& text, const std::string& word) {
        for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
            const size_t end = at + word.size();
            if ((at == 0 || letters.find(text[at - 1]) == std::string::npos) &&
                (end == text.size() || letters.find(text[end]) == std::string::npos))
                return true;
        }
        return false;
    };

    const std::string man = ReadFile(KIV_SOURCE_DIR "/man/kivhost.1.scd");
    const std::string completion = ReadFile(KIV_SOURCE_DIR "/kivhost/completion/kivhost.bash");
    for (const std::string& option : options) {
        EXPECT_NE(man.find("*" + option + "*"), std::string::npos) << option << " is not in the man page";
        EXPECT_TRUE(holds(completion, option)) << option << " is not in the completion";
    }
    for (const std::string& command : commands) {
        EXPECT_NE(man.find("*" + command + "*"), std::string::npos) << command << " is not in the man page";
        EXPECT_TRUE(holds(completion, command)) << command << " is not in the completion";
    }
}

TEST_F(KivhostLine, CompletionOffersCommandsOptionsValuesAndPorts)
{
    EXPECT_EQ(Complete("kivhost --port x re"), "read\n");
    EXPECT_EQ(Complete("kivhost poll 01W0010 --cy"), "--cycles\n");
    EXPECT_EQ(Complete("kivhost --parity o"), "odd\n");
    EXPECT_EQ(Complete("kivhost --trace = r"), "raw\n");
    // The line of this test is a pseudo-terminal: it is offered.
    const std::vector<std::string> ports = Lines(Complete("kivhost read 01W0010 --port /dev/pts/"));
    EXPECT_NE(std::find(ports.begin(), ports.end(), sim_.SlavePath()), ports.end())
        << Complete("kivhost --port /dev/pts/");
}

TEST_F(KivhostLine, MonitorOnTheMirrorCountsEveryReason)
{
    const std::string log = "/tmp/kivhost-test-monitor-" + std::to_string(getpid()) + ".jsonl";
    KivhostRunning monitor({"monitor", "--port", sim_.MirrorPath(), "--jsonl", log});
    ASSERT_TRUE(
        monitor.ReadUntil([](const Outcome& run) { return run.err.find("listening on") != std::string::npos; }));

    // Station 2 fails each of its next four exchanges (four attempts each)
    // another way; station 3 is not on the line.
    for (const char* fault : {"nak", "wrong", "truncate=5", "noise=3"})
        sim_.ScriptFault(2, *plcsim::ParseFault(fault), 4);
    const std::vector<std::vector<std::string>> traffic = {
        {"read", "01W0010", "--count", "2"},
        {"write", "01W0030", "5"},
        {"read", "02W0010"},
        {"read", "02W0010"},
        {"read", "02W0010"},
        {"read", "02W0010"},
        {"read", "03W0000"},
    };
    for (std::vector<std::string> args : traffic) {
        args.insert(args.begin(), {"--port", "{port}", "--timeout", "50"});
        Kivhost(args);
    }
    // Station 3's third attempt is shown once its fourth is on the line;
    // Ctrl-C shows the fourth had no reply.
    ASSERT_TRUE(monitor.ReadUntil([](const Outcome& run) { return Occurrences(run.out, "03W0000") >= 3; }));
    const Outcome run = monitor.Interrupt();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Per station"), std::string::npos) << run.out;

    std::ifstream in(log);
    std::vector<nlohmann::json> objects;
    for (std::string line; std::getline(in, line);)
        objects.push_back(nlohmann::json::parse(line));
    std::remove(log.c_str());
    ASSERT_GE(objects.size(), 2u);
    const nlohmann::json& first = objects.front();
    EXPECT_EQ(first["address"], "01W0010");
    EXPECT_EQ(first["values"], nlohmann::json({0x1234, 0xABCD}));
    EXPECT_GE(first["latency_ms"].get<double>(), 0);
    const nlohmann::json& stations = objects.back()["summary"]["stations"];
    ASSERT_EQ(stations.size(), 3u) << objects.back();
    // exchanges, failed, then attempts by reason
    const std::map<int, std::vector<int>> expected = {
        {1, {2, 0, 0, 0, 0, 0, 0}},
        {2, {4, 4, 0, 4, 4, 4, 4}},
        {3, {1, 1, 4, 0, 0, 0, 0}},
    };
    for (const nlohmann::json& s : stations) {
        const nlohmann::json& f = s["failures"];
        const std::vector<int> seen = {s["exchanges"], s["failed_exchanges"], f["no-reply"], f["short"],
                                       f["nak"],       f["wrong-station"],    f["garbled"]};
        EXPECT_EQ(seen, expected.at(s["station"])) << "station " << s["station"];
    }
}

// A second reader of a port takes bytes its holder waits for: the monitor
// refuses a port another program holds, and listens anyway when told.
TEST_F(KivhostLine, MonitorRefusesAHeldPortUnlessShared)
{
    HoldPort();
    const std::string holder = "pid " + std::to_string(getpid()) + " (";
    for (const bool shared : {false, true}) {
        SCOPED_TRACE(shared ? "--shared" : "alone");
        std::vector<std::string> args = {"monitor", "--port", Path()};
        if (shared)
            args.push_back("--shared");
        KivhostRunning monitor(args);
        const bool listening =
            monitor.ReadUntil([](const Outcome& run) { return run.err.find("listening on") != std::string::npos; });
        const Outcome run = listening ? monitor.Interrupt() : monitor.Wait();
        EXPECT_EQ(listening, shared) << run.err;
        EXPECT_EQ(run.status, shared ? 0 : 2) << run.err;
        if (!shared) {
            EXPECT_NE(run.err.find("is held by another program: " + holder), std::string::npos) << run.err;
            EXPECT_NE(run.err.find("(its lock); listening would take bytes it waits for; --shared listens anyway"),
                      std::string::npos)
                << run.err;
            EXPECT_EQ(Occurrences(run.err, "\n"), 1u) << run.err;
        }
    }
}

}  // namespace
