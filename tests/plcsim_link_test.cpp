// plcsim's links on every way out, and what it refuses to replace: a link
// left to a line nobody serves is taken by the next terminal opened, and a
// host would then write its requests into someone's shell.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/framed.h"
#include "tests/plcsim_process.h"

namespace {

using namespace plcsim_test;

enum class End {
    Signal,      // the signal below, once the paths are told
    ReaderGone,  // standard output is a pipe nobody reads: the path cannot be told
    ReaderLeft,  // the reader of -v's lines goes away, then a request comes
    DiskFull,    // standard output is /dev/full
};

TEST(PlcsimProgram, LinksGoOnEveryWayOut)
{
    struct Row {
        const char* name;
        End end;
        int signal;
        int exitCode;
        std::string says;  // part of standard error; "" for nothing at all
    };
    const std::vector<Row> table = {
        {"SIGTERM", End::Signal, SIGTERM, 0, ""},
        {"SIGHUP, as when its terminal closes", End::Signal, SIGHUP, 0, ""},
        {"SIGINT", End::Signal, SIGINT, 0, ""},
        {"SIGPIPE sent", End::Signal, SIGPIPE, 0, ""},
        {"SIGQUIT", End::Signal, SIGQUIT, 0, ""},
        {"a crash", End::Signal, SIGSEGV, 128 + SIGSEGV, ""},
        {"an abort", End::Signal, SIGABRT, 128 + SIGABRT, ""},
        {"plcsim | true", End::ReaderGone, 0, 74, "the line's path cannot be told: standard output: Broken pipe"},
        {"plcsim -v | head -2", End::ReaderLeft, 0, 74, "standard output: Broken pipe"},
        {"plcsim > /dev/full", End::DiskFull, 0, 74, "standard output: No space left on device"},
    };
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);  // the crashes' core files are not wanted
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        std::vector<std::string> args = {"--link", dir / "plc1", "--mirror", dir / "tap1"};
        if (row.end == End::ReaderLeft)
            args.push_back("-v");
        int output = -1;
        if (row.end == End::ReaderGone) {
            int fds[2];
            ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
            close(fds[0]);
            output = fds[1];
        } else if (row.end == End::DiskFull) {
            output = open("/dev/full", O_WRONLY | O_CLOEXEC);
            ASSERT_GE(output, 0);
        }
        Child child = Spawn(args, output);
        if (output >= 0)
            close(output);
        ASSERT_GT(child.pid, 0);
        Port err(child.err);
        if (child.out >= 0) {
            Port out(child.out);
            const std::string path = ReadLine(out);
            ASSERT_FALSE(path.empty()) << err.ReadQuiet(milliseconds(100));
            EXPECT_EQ(LinkTarget(dir / "plc1"), path);
            EXPECT_EQ(ReadLine(out), LinkTarget(dir / "tap1"));
            if (row.end == End::Signal)
                kill(child.pid, row.signal);
        }
        if (row.end == End::ReaderLeft) {
            // out is closed now; the first record printed meets no reader.
            Port port(dir / "plc1");
            ASSERT_TRUE(port.IsOpen());
            port.Send(Framed("01RW001002"));
        }
        std::string error = err.ReadQuiet(milliseconds(5000));
        EXPECT_EQ(ExitCode(child.pid), row.exitCode) << error;
        while (error.starts_with("plcsim: note: "))
            error.erase(0, error.find('\n') + 1);  // the paths are longer than a port name
        if (row.says.empty()) {
            EXPECT_EQ(error, "");
        } else {
            EXPECT_EQ(error.find("plcsim: "), 0u) << error;
            EXPECT_NE(error.find(row.says), std::string::npos) << error;
        }
        EXPECT_EQ(dir.Names(), std::vector<std::string>{}) << "links left behind";
    }
}

// A link to something that exists is not replaced: here a terminal that
// took the number of a line whose plcsim was killed. One that dangles is.
TEST(PlcsimProgram, ALinkToALiveTerminalIsRefused)
{
    TempDir dir;
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string terminal = ptsname(master);
    ASSERT_EQ(symlink(terminal.c_str(), (dir / "plc1").c_str()), 0);
    ASSERT_EQ(symlink("/dev/pts/999999", (dir / "tap1").c_str()), 0);

    for (const char* option : {"--link", "--mirror"}) {
        SCOPED_TRACE(option);
        Child child = Spawn({option, dir / "plc1"});
        ASSERT_GT(child.pid, 0);
        Port out(child.out);
        Port err(child.err);
        const std::string error = err.ReadQuiet(milliseconds(5000));
        EXPECT_EQ(ExitCode(child.pid), 64) << error;
        EXPECT_NE(error.find(std::string(option) + " " + dir / "plc1" + " is a link to " + terminal +
                             ", which exists (a terminal)"),
                  std::string::npos)
            << error;
        EXPECT_EQ(out.ReadQuiet(milliseconds(10)), "");
        EXPECT_EQ(LinkTarget(dir / "plc1"), terminal) << "left as it was";
    }

    // The dangling one is taken over, and removed again on the way out.
    Child child = Spawn({"--mirror", dir / "tap1"});
    ASSERT_GT(child.pid, 0);
    Port out(child.out);
    ReadLine(out);
    EXPECT_EQ(ReadLine(out), LinkTarget(dir / "tap1"));
    kill(child.pid, SIGTERM);
    EXPECT_EQ(ExitCode(child.pid), 0);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"plc1"});
    close(master);
}

}  // namespace
