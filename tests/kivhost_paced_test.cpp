// kivhost against a station on a paced line, where replies take the time a
// 9600-baud line gives them: the driver reads a refused header, lets the
// rest of that reply end, and asks again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_name.h"
#include "kivhost_line_fixture.h"
#include "plc_simulator.h"

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
     // The driver lets the refused reply end before it asks again.
     {"garbled", "--baud", "arrived late"}},
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

}  // namespace
