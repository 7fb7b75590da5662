// kivhost's outputs are whole or say that they are not: a write that fails
// is named and fails the run, and a scan stopped by a closing terminal
// leaves its logs on a whole cycle.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/case_name.h"
#include "tests/kivhost_line_fixture.h"

namespace {

using kivhost_test::KivhostLine;
using kivhost_test::KivhostRunning;
using kivhost_test::Outcome;

const std::string EXAMPLE_TAGS = std::string(KIV_SOURCE_DIR) + "/examples/pump-station.csv";
const std::string TRACE = std::string(KIV_SOURCE_DIR) + "/tests/data/decode_every_outcome.trace";

std::string ReadAll(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// kivhost with its standard output on /dev/full and its standard error
// read; a SIGINT once standard error holds interruptAt, if given.
Outcome RunOnFullOutput(const std::vector<std::string>& args, const std::string& interruptAt)
{
    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0)
        return {};
    std::string program = KIVHOST_PATH;
    std::vector<std::string> copies = args;
    std::vector<char*> argv = {program.data()};
    for (std::string& arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int full = open("/dev/full", O_WRONLY);
        dup2(full, 1);
        dup2(errPipe[1], 2);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(errPipe[1]);
    Outcome run;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool interrupted = interruptAt.empty();
    for (;;) {
        if (!interrupted && run.err.find(interruptAt) != std::string::npos) {
            kill(child, SIGINT);
            interrupted = true;
        }
        pollfd fd{errPipe[0], POLLIN, 0};
        if (std::chrono::steady_clock::now() > deadline)
            break;
        if (poll(&fd, 1, 1000) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = read(errPipe[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        run.err.append(buffer, static_cast<size_t>(n));
    }
    close(errPipe[0]);
    kill(child, SIGKILL);  // only if it hung: it has closed standard error
    int status = 0;
    waitpid(child, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

struct FullCase {
    const char* name;
    std::vector<std::string> args;  // {port} and {mirror} are the line's
    bool outputOnFull;              // standard output on /dev/full too
    const char* interruptAt;        // a SIGINT once standard error holds it; "" for none
    const char* says;               // the output named
};

void PrintTo(const FullCase& c, std::ostream* os)
{
    *os << c.name;
}

const FullCase FULL_CASES[] = {
    {"scan csv",
     {"--port", "{port}", "scan", EXAMPLE_TAGS, "--cycles", "2", "--csv", "/dev/full"},
     false,
     "",
     "cannot write the CSV log /dev/full: No space left on device"},
    {"scan jsonl",
     {"--port", "{port}", "scan", EXAMPLE_TAGS, "--interval", "0", "--jsonl", "/dev/full"},
     false,
     "",
     "cannot write the JSON Lines log /dev/full: No space left on device"},
    {"trace file",
     {"--port", "{port}", "--trace-file", "/dev/full", "read", "01W0010"},
     false,
     "",
     "cannot write the trace file /dev/full: No space left on device"},
    {"monitor jsonl",
     {"monitor", "--port", "{mirror}", "--jsonl", "/dev/full"},
     false,
     "listening on",
     "cannot write the JSON Lines log /dev/full: No space left on device"},
    {"monitor csv",
     {"monitor", "--port", "{mirror}", "--csv", "/dev/full"},
     false,
     "",
     "cannot write the CSV log /dev/full: No space left on device"},
    {"read", {"--port", "{port}", "read", "01W0010"}, true, "", "cannot write standard output: No space left"},
    {"stations", {"--port", "{port}", "stations", "--range", "1-2"}, true, "", "cannot write standard output"},
    {"scan plan", {"scan", EXAMPLE_TAGS, "--plan"}, true, "", "cannot write standard output"},
    {"decode", {"decode", TRACE}, true, "", "cannot write standard output: No space left"},
    {"decode json", {"--json", "decode", TRACE}, true, "", "cannot write standard output"},
    {"poll", {"--port", "{port}", "poll", "01W0010", "--interval", "0"}, true, "", "cannot write standard output"},
};

class KivhostFullOutput : public KivhostLine, public ::testing::WithParamInterface<FullCase> {};

// Each output on a device that takes nothing: the run ends (poll and scan,
// which run until stopped, too), fails and names the output.
TEST_P(KivhostFullOutput, IsNamedAndFailsTheRun)
{
    const FullCase& c = GetParam();
    std::vector<std::string> args = c.args;
    for (std::string& arg : args) {
        if (arg == "{port}")
            arg = sim_.SlavePath();
        if (arg == "{mirror}")
            arg = sim_.MirrorPath();
    }
    Outcome run;
    if (c.outputOnFull) {
        run = RunOnFullOutput(args, c.interruptAt);
    } else {
        KivhostRunning running(args);
        if (c.interruptAt[0] != '\0') {
            ASSERT_TRUE(running.ReadUntil(
                [&](const Outcome& soFar) { return soFar.err.find(c.interruptAt) != std::string::npos; }));
            run = running.Interrupt();
        } else {
            running.ReadUntil([](const Outcome&) { return false; });
            run = running.Wait();
        }
    }
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Writers, KivhostFullOutput, ::testing::ValuesIn(FULL_CASES), CaseName());

// A terminal closing mid-scan (SIGHUP) ends it after the exchange under
// way: the logs hold whole cycles, the rows of each cycle all there. A log
// a run was killed in the middle of (no line feed at its end) is carried on
// from a new line, and the run says so.
TEST_F(KivhostLine, ScanEndedByAHangUpLeavesWholeCyclesAndTheNextStepsOverATornLine)
{
    const std::string csv = ::testing::TempDir() + "kivhost-hup.csv";
    const std::string jsonl = ::testing::TempDir() + "kivhost-hup.jsonl";
    std::remove(csv.c_str());
    {
        std::ofstream torn(jsonl, std::ios::binary | std::ios::trunc);
        torn << "{\"time\":\"2026-01-01T00:00:00.000Z\",\"name\":\"pu";  // a run killed mid-object
    }
    // Cycle after cycle without a pause: the hang-up falls inside one.
    KivhostRunning scan(
        {"--port", sim_.SlavePath(), "scan", EXAMPLE_TAGS, "--interval", "0", "--csv", csv, "--jsonl", jsonl});
    ASSERT_TRUE(scan.ReadUntil([&](const Outcome&) {
        const std::string text = ReadAll(csv);
        return std::count(text.begin(), text.end(), '\n') > 26;
    }));
    scan.SendHangup();
    scan.ReadUntil([](const Outcome&) { return false; });
    const Outcome run = scan.Wait();
    EXPECT_EQ(run.status, 0) << "stopped as by Ctrl-C, not killed: " << run.err;
    EXPECT_NE(run.err.find(jsonl + " did not end in a line feed (a run cut short?); starting on a new line"),
              std::string::npos)
        << run.err;

    const std::string csvText = ReadAll(csv);
    ASSERT_FALSE(csvText.empty());
    EXPECT_EQ(csvText.back(), '\n');
    std::istringstream csvLines(csvText);
    std::string line;
    std::getline(csvLines, line);
    EXPECT_EQ(line, "time,name,address,value,quality,reason,attempts");
    size_t rows = 0;
    while (std::getline(csvLines, line)) {
        EXPECT_EQ(std::count(line.begin(), line.end(), ','), 6) << line;
        ++rows;
    }
    EXPECT_GT(rows, 0u);
    EXPECT_EQ(rows % 26, 0u) << "whole cycles of 26 rows: " << rows;

    const std::string jsonlText = ReadAll(jsonl);
    ASSERT_FALSE(jsonlText.empty());
    EXPECT_EQ(jsonlText.back(), '\n');
    std::istringstream jsonlLines(jsonlText);
    std::getline(jsonlLines, line);
    EXPECT_EQ(line, "{\"time\":\"2026-01-01T00:00:00.000Z\",\"name\":\"pu") << "the torn line kept, ended";
    size_t objects = 0;
    while (std::getline(jsonlLines, line)) {
        EXPECT_TRUE(line.starts_with("{\"time\":") && line.ends_with("}")) << line;
        ++objects;
    }
    EXPECT_EQ(objects % 15, 0u) << "whole cycles of 15 objects: " << objects;
    EXPECT_EQ(objects, rows / 26 * 15);
}

}  // namespace
