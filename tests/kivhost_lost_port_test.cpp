// kivhost run as a program against plcsim run as a program, on a paced
// line: what scan, poll and stations make of a port that goes away and
// comes back.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/case_name.h"
#include "tests/kivhost_line_fixture.h"

namespace {

using kivhost_test::KivhostRunning;
using Output = kivhost_test::Outcome;

size_t Occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

std::vector<std::string> CycleLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("cycle "))
            lines.push_back(line);
    return lines;
}

// Scan and poll over one port pulled and plugged in again: station 1
// answers, station 2 is silent throughout.
struct LostPortCase {
    const char* name;
    std::vector<std::string> command;  // after the line options; "{tags}" is the tag file
    // In a cycle line after the port is back: station 1's value and station
    // 2's reason, as this command shows them.
    std::vector<std::string> goodAgain;
};

const LostPortCase LOST_PORT_CASES[] = {
    {"scan", {"scan", "{tags}", "--interval", "100", "--retry-down", "1"}, {"; one 4660;", "; two - (", ": no-reply)"}},
    {"poll",
     {"poll", "01W0010", "02W0010", "--interval", "100", "--retry-down", "1"},
     {"01W0010 0x1234 (", "02W0010 (no reply)"}},
};

void PrintTo(const LostPortCase& c, std::ostream* os)
{
    *os << c.name;
}

class KivhostPacedPort : public ::testing::TestWithParam<LostPortCase> {};

TEST_P(KivhostPacedPort, ALostPortIsToldOnceReopenedAndLeavesTheStationsAlone)
{
    const LostPortCase& c = GetParam();
    const std::string link = "/tmp/kq" + std::to_string(getpid() % 10000);
    const std::string tags = ::testing::TempDir() + "kivhost-paced-" + std::to_string(getpid()) + ".csv";
    std::ofstream(tags) << "name,address\none,01W0010\ntwo,02W0010\n";

    KivhostRunning sim(
        {"--stations", "1,2", "--set", "1:W0010=0x1234", "--fault", "2:silent", "--pace", "--link", link}, PLCSIM_PATH);
    ASSERT_TRUE(sim.ReadUntil([](const Output& so) { return so.out.find('\n') != std::string::npos; }))
        << sim.SoFar().err;

    std::vector<std::string> args = {"--port", link, "--timeout", "50"};
    for (const std::string& arg : c.command)
        args.push_back(arg == "{tags}" ? tags : arg);
    KivhostRunning kivhost(args);
    const std::string failed = "port " + link + " failed: ";
    const std::string back = "port " + link + " back after ";

    // Station 2 set aside for its silence before the port goes.
    ASSERT_TRUE(kivhost.ReadUntil([](const Output& so) { return CycleLines(so.out).size() >= 3; }))
        << kivhost.SoFar().err;
    sim.Send(SIGUSR1);
    ASSERT_TRUE(sim.ReadUntil([](const Output& so) { return so.out.find("unplugged") != std::string::npos; }));
    ASSERT_TRUE(kivhost.ReadUntil([&](const Output& so) { return so.err.find(failed) != std::string::npos; }))
        << kivhost.SoFar().err;
    // The stimulus: the port stays away longer than a retry's second, so that
    // a try to open it fails (kivhost says nothing of a failed try to wait for).
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    sim.Send(SIGUSR1);
    ASSERT_TRUE(kivhost.ReadUntil([&](const Output& so) { return so.err.find(back) != std::string::npos; }))
        << kivhost.SoFar().err;
    const size_t cyclesBefore = CycleLines(kivhost.SoFar().out).size();
    ASSERT_TRUE(kivhost.ReadUntil([&](const Output& so) { return CycleLines(so.out).size() >= cyclesBefore + 3; }))
        << kivhost.SoFar().err;
    const Output run = kivhost.Interrupt();

    EXPECT_EQ(Occurrences(run.err, failed), 1u) << run.err;
    EXPECT_NE(run.err.find("trying to open it again every 1 s"), std::string::npos) << run.err;
    EXPECT_EQ(Occurrences(run.err, back), 1u) << run.err;
    // The port's failure is nobody's reason: station 2 stays down for its silence.
    EXPECT_EQ(run.out.find("not sent"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("not-sent"), std::string::npos) << run.out;
    EXPECT_EQ(run.err.find("not sent"), std::string::npos) << run.err;
    const std::string last = CycleLines(run.out).back();
    for (const std::string& part : c.goodAgain)
        EXPECT_NE(last.find(part), std::string::npos) << part << " in " << last;
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find("the port " + link + " was lost 1 time"), std::string::npos) << run.err;
    std::remove(tags.c_str());
}

INSTANTIATE_TEST_SUITE_P(Commands, KivhostPacedPort, ::testing::ValuesIn(LOST_PORT_CASES), CaseName());

// A survey over a port pulled and plugged in again: the station being asked
// when the port went is asked again, and no station is "not sent".
TEST(KivhostPacedSurvey, AStationAskedWhenThePortWentIsAskedAgain)
{
    const std::string link = "/tmp/ks" + std::to_string(getpid() % 10000);
    KivhostRunning sim({"--stations", "1,2", "--set", "1:W0000=0x1234", "--pace", "--link", link}, PLCSIM_PATH);
    ASSERT_TRUE(sim.ReadUntil([](const Output& so) { return so.out.find('\n') != std::string::npos; }))
        << sim.SoFar().err;

    KivhostRunning kivhost({"--port", link, "--timeout", "50", "stations", "--retry-down", "1"});
    ASSERT_TRUE(kivhost.ReadUntil([](const Output& so) { return so.out.find("\n3 (03)") != std::string::npos; }))
        << kivhost.SoFar().err;
    sim.Send(SIGUSR1);
    const std::string failed = "port " + link + " failed: ";
    ASSERT_TRUE(kivhost.ReadUntil([&](const Output& so) { return so.err.find(failed) != std::string::npos; }))
        << kivhost.SoFar().err;
    // The stimulus, as above: away for longer than a retry's second.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    sim.Send(SIGUSR1);
    kivhost.ReadUntil([](const Output&) { return false; });  // to its end
    const Output run = kivhost.Wait();

    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_EQ(Occurrences(run.err, failed), 1u) << run.err;
    EXPECT_EQ(Occurrences(run.err, "port " + link + " back after "), 1u) << run.err;
    EXPECT_NE(run.err.find("the port " + link + " was lost 1 time"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("not sent"), std::string::npos) << run.out;
    for (int station = 1; station <= 32; ++station) {
        char row[16];
        std::snprintf(row, sizeof row, "\n%d (%02X) ", station, station);
        EXPECT_EQ(Occurrences(run.out, row), 1u) << row << "\n" << run.out;
    }
    EXPECT_NE(run.out.find("2 of 32 stations answer"), std::string::npos) << run.out;
}

}  // namespace
