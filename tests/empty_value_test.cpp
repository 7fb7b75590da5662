// Both programs' command lines: an empty value is a usage error naming its
// option, never taken as the option left out (--device "" serving a
// pseudo-terminal, --baud "" meaning 9600).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/kivhost_line_fixture.h"

namespace {

using kivhost_test::KivhostRunning;
using kivhost_test::Outcome;

struct EmptyCase {
    const char* program;  // KIVHOST_PATH or PLCSIM_PATH
    std::vector<std::string> args;
    std::string says;  // part of the one line on standard error
};

std::string Empty(const std::string& option)
{
    return option + ": the value is empty";
}

TEST(ToolUsage, AnEmptyValueIsRefusedNamingItsOption)
{
    const char* plcsim = PLCSIM_PATH;
    const char* kivhost = KIVHOST_PATH;
    std::vector<EmptyCase> table;
    for (const char* option : {"--device", "--link", "--mirror", "--baud", "--format", "--data-bits", "--parity",
                               "--stop-bits", "--stations", "--set", "--fault", "--script", "--seed"})
        table.push_back({plcsim, {option, ""}, Empty(option)});
    for (const char* option : {"--port", "--baud", "--format", "--data-bits", "--parity", "--stop-bits", "--timeout",
                               "--trace-file", "--lib"})
        table.push_back({kivhost, {option, "", "read", "01W0010"}, Empty(option)});
    const std::vector<EmptyCase> commands = {
        {kivhost, {"--trace=", "info"}, "bad --trace \"\""},
        {kivhost, {"parse", ""}, Empty("ADDR")},
        {kivhost, {"parse", "01W0010", "--type", ""}, Empty("--type")},
        {kivhost, {"--port", "COM1", "read", "01W0010", "--count", ""}, Empty("--count")},
        {kivhost, {"--port", "COM1", "write", "01W0010", ""}, Empty("VALUE")},
        {kivhost, {"--port", "COM1", "poll", ""}, Empty("ADDR")},
        {kivhost, {"--port", "COM1", "poll", "--tags", ""}, Empty("--tags")},
        {kivhost, {"--port", "COM1", "poll", "01W0010", "--interval", ""}, Empty("--interval")},
        {kivhost, {"--port", "COM1", "poll", "01W0010", "--cycles", ""}, Empty("--cycles")},
        {kivhost, {"--port", "COM1", "poll", "01W0010", "--retry-down", ""}, Empty("--retry-down")},
        {kivhost, {"scan", ""}, Empty("TAGFILE")},
        {kivhost, {"scan", "tags.csv", "--max-gap", ""}, Empty("--max-gap")},
        {kivhost, {"scan", "tags.csv", "--csv", ""}, Empty("--csv")},
        {kivhost, {"scan", "tags.csv", "--jsonl", ""}, Empty("--jsonl")},
        {kivhost, {"--port", "COM1", "stations", "--range", ""}, Empty("--range")},
        {kivhost, {"decode", ""}, Empty("FILE")},
        {kivhost, {"--port", "", "monitor"}, Empty("--port")},
        {kivhost, {"--port", "/tmp/tap1", "--baud", "", "monitor"}, Empty("--baud")},
        {kivhost, {"--port", "/tmp/tap1", "monitor", "--gap", ""}, Empty("--gap")},
        {kivhost, {"--port", "/tmp/tap1", "monitor", "--late", ""}, Empty("--late")},
        {kivhost, {"--port", "/tmp/tap1", "monitor", "--jsonl", ""}, Empty("--jsonl")},
        {kivhost, {"--port", "/tmp/tap1", "monitor", "--csv", ""}, Empty("--csv")},
    };
    table.insert(table.end(), commands.begin(), commands.end());
    for (const EmptyCase& row : table) {
        std::string line = row.program == plcsim ? "plcsim" : "kivhost";
        for (const std::string& arg : row.args)
            line += " '" + arg + "'";
        SCOPED_TRACE(line);
        KivhostRunning run(row.args, row.program);
        run.ReadUntil([](const Outcome&) { return false; });
        const Outcome outcome = run.Wait();
        EXPECT_EQ(outcome.status, 64) << outcome.err;
        EXPECT_NE(outcome.err.find(row.says), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << "one line: " << outcome.err;
        EXPECT_EQ(outcome.out, "");
    }
}

}  // namespace
