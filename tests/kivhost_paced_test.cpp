// kivhost against stations on a paced line, where replies take the time a
// 9600-baud line gives them: the driver reads a refused header, lets the
// rest of that reply end, and asks again.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

#include "sim/plc_simulator.h"
#include "tests/case_name.h"
#include "tests/kivhost_line_fixture.h"

namespace plcsim {
void PrintTo(const Fault& fault, std::ostream* os)
{
    *os << FaultName(fault.kind) << "@" << fault.probability;
}
}  // namespace plcsim

namespace {

using kivhost_test::KivhostLine;
using kivhost_test::Outcome;
using plcsim::FaultKind;

// Station 1 alone, every reply paced at 9600 baud, 8N1.
plcsim::Options PacedOptions()
{
    plcsim::Options options;
    options.stations = {1};
    options.pace = true;
    return options;
}

class PacedLine : public KivhostLine {
protected:
    PacedLine() : KivhostLine(PacedOptions()) {}
};

// What kivhost makes of an exchange whose attempts each saw part of the
// story: the verdict, from all of them.
struct VerdictCase {
    const char* name;
    plcsim::Fault fault;  // of station 1
    std::vector<std::string> args;
    int status;
    std::vector<std::string> says;   // each in standard output or standard error
    std::vector<std::string> never;  // none of them anywhere
};

void PrintTo(const VerdictCase& c, std::ostream* os)
{
    *os << c.name;
}

const std::vector<std::string> READ = {"--port", "{port}", "--timeout", "100", "read", "01W0010"};
// The rest of a reply read in a later attempt is no sign of a wrong line format.
const std::vector<std::string> NOT_THE_LINE_FORMAT = {"garbled", "--baud"};

const VerdictCase VERDICT_CASES[] = {
    {"damaged reply", {FaultKind::Corrupt}, READ, 2, {"came with damaged data (\"123G\""}, {}},
    {"refused",
     {FaultKind::Nak},
     READ,
     2,
     {"station 1 (01) did not acknowledge the read of 01W0010 (\"/N01RW1\"): 4 attempts",
      "check that the address exists"},
     NOT_THE_LINE_FORMAT},
    {"another station",
     {FaultKind::WrongStation},
     READ,
     2,
     {"station 2 (02) answered the read of 01W0010 meant for station 1 (01)"},
     NOT_THE_LINE_FORMAT},
    {"slow", {FaultKind::Delay, 1.0, 300}, READ, 0, {"01W0010     4660", "late", "raise --timeout"}, {}},
    {"refused, counted among the stations",
     {FaultKind::Nak},
     {"--port", "{port}", "stations", "--range", "1-2"},
     0,
     {"1 (01)    yes", "refuses this request (\"/N01RW", "2 (02)    no", "1 of 2 stations answer (", "): 1 (01)\n"},
     NOT_THE_LINE_FORMAT},
    // Station 1's replies name station 2: whatever of them reaches the
    // attempts to station 2 is not station 2 answering.
    {"another's replies make no station answer",
     {FaultKind::WrongStation},
     {"--port", "{port}", "stations", "--range", "1-2"},
     2,
     {"2 (02)    no", "0 of 2 stations answer ("},
     {"2 (02)    yes"}},
    {"another's replies are no sign of a shared number",
     {FaultKind::WrongStation, 1.0, 3},
     {"--port", "{port}", "--timeout", "100", "poll", "01W0010", "02W0000", "--cycles", "1"},
     2,
     {"the last: no reply from station 2 (02) to the read of 02W0000"},
     {"station 3 (03) answered the read of 02W0000", "share a station number"}},
};

class KivhostPacedVerdict : public PacedLine, public ::testing::WithParamInterface<VerdictCase> {};

TEST_P(KivhostPacedVerdict, JudgedOverAllAttempts)
{
    const VerdictCase& c = GetParam();
    sim_.SetFault(1, c.fault);
    const Outcome run = Kivhost(c.args);
    const std::string all = run.out + run.err;
    EXPECT_EQ(run.status, c.status) << all;
    for (const std::string& says : c.says)
        EXPECT_NE(all.find(says), std::string::npos) << "\"" << says << "\" not in:\n" << all;
    for (const std::string& never : c.never)
        EXPECT_EQ(all.find(never), std::string::npos) << "\"" << never << "\" in:\n" << all;
}

INSTANTIATE_TEST_SUITE_P(Faults, KivhostPacedVerdict, ::testing::ValuesIn(VERDICT_CASES), CaseName());

// Station 1 healthy beside a faulty station 2, both paced: whatever station 2
// does to the line, station 1's exchanges stay good, and station 2's replies
// are judged as every tool judges them.
plcsim::Options PacedPairOptions()
{
    plcsim::Options options;
    options.stations = {1, 2};
    options.pace = true;
    return options;
}

class PacedPair : public KivhostLine, public ::testing::WithParamInterface<plcsim::Fault> {
protected:
    PacedPair() : KivhostLine(PacedPairOptions()) {}
};

constexpr int PAIR_CYCLES = 200;

TEST_P(PacedPair, TheHealthyStationStaysGood)
{
    sim_.SetFault(2, GetParam());
    // A bit of station 2: a flipped bit is still a bit, so only the checksum tells.
    const Outcome run = Kivhost({"--port", "{port}", "--timeout", "100", "--json", "poll", "02B0000", "01W0010",
                                 "--cycles", std::to_string(PAIR_CYCLES), "--interval", "0"});
    std::istringstream lines(run.out);
    std::string line;
    nlohmann::json last;
    bool station2Kept = false;  // a reply of station 2 kept the checksum rule
    int cycles = 0;
    while (std::getline(lines, line)) {
        last = nlohmann::json::parse(line);
        ++cycles;
        const nlohmann::json& station2 = last["tags"][0];
        const bool good = !station2.contains("reason");
        // Once station 2 kept the rule, a break is bad data, never a good value.
        EXPECT_FALSE(station2Kept && good && station2["checksum_suspect"].get<bool>()) << line;
        station2Kept = station2Kept || (good && !station2["checksum_suspect"].get<bool>());
    }
    ASSERT_EQ(cycles, PAIR_CYCLES) << run.err;
    const nlohmann::json& station1 = last["tags"][1];
    ASSERT_EQ(station1["address"], "01W0010");
    const auto good = station1["good"].get<int>();
    EXPECT_EQ(good + station1["failed"].get<int>(), PAIR_CYCLES);
    EXPECT_GE(good * 100, PAIR_CYCLES * 99) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Faults, PacedPair,
                         ::testing::Values(plcsim::Fault{FaultKind::Nak}, plcsim::Fault{FaultKind::WrongStation},
                                           plcsim::Fault{FaultKind::Noise}, plcsim::Fault{FaultKind::Extra},
                                           plcsim::Fault{FaultKind::Corrupt, 0.3}),
                         [](const ::testing::TestParamInfo<plcsim::Fault>& info) {
                             return std::string(plcsim::FaultName(info.param.kind));
                         });

}  // namespace
