// kivhost run as a program against plcsim run as a program, on a paced
// line: what scan and poll make of a port that goes away and comes back.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
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

#include "case_name.h"

namespace {

struct Output {
    int status = -1;
    std::string out;
    std::string err;
};

// A program running beside the test, both outputs read as they come so
// that neither pipe fills up; killed and reaped at the end if still there.
class Program {
public:
    Program(const std::string& path, const std::vector<std::string>& args)
    {
        int outPipe[2];
        int errPipe[2];
        if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
            return;
        std::vector<std::string> copies = args;
        copies.insert(copies.begin(), path);
        std::vector<char*> argv;
        for (std::string& arg : copies)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        child_ = fork();
        if (child_ == 0) {
            dup2(outPipe[1], 1);
            dup2(errPipe[1], 2);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
        close(outPipe[1]);
        close(errPipe[1]);
        fds_[0] = {outPipe[0], POLLIN, 0};
        fds_[1] = {errPipe[0], POLLIN, 0};
    }
    ~Program()
    {
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        for (pollfd& fd : fds_)
            if (fd.fd >= 0)
                close(fd.fd);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Reads until done holds for the output so far; false when the program
    // ended first, or a minute went by.
    bool ReadUntil(const std::function<bool(const Output&)>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done(run_)) {
            if (std::chrono::steady_clock::now() > deadline || !ReadSome())
                return false;
        }
        return true;
    }
    void Signal(int number) { kill(child_, number); }
    const Output& SoFar() const { return run_; }

    // Ctrl-C, then all it prints until it ends, and its status.
    Output Interrupt()
    {
        Signal(SIGINT);
        ReadUntil([](const Output&) { return false; });
        int status = 0;
        if (fds_[0].fd >= 0 || fds_[1].fd >= 0)
            kill(child_, SIGKILL);  // hung: its status shows it
        waitpid(child_, &status, 0);
        child_ = -1;
        run_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return run_;
    }

private:
    bool ReadSome()
    {
        if (fds_[0].fd < 0 && fds_[1].fd < 0)
            return false;
        if (poll(fds_, 2, 1000) <= 0)
            return true;
        std::string* sinks[2] = {&run_.out, &run_.err};
        for (int i = 0; i < 2; ++i) {
            if (fds_[i].fd < 0 || fds_[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = read(fds_[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds_[i].fd);
                fds_[i].fd = -1;
            }
        }
        return true;
    }

    pid_t child_ = -1;
    pollfd fds_[2] = {{-1, 0, 0}, {-1, 0, 0}};
    Output run_;
};

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

    Program sim(PLCSIM_PATH,
                {"--stations", "1,2", "--set", "1:W0010=0x1234", "--fault", "2:silent", "--pace", "--link", link});
    ASSERT_TRUE(sim.ReadUntil([](const Output& so) { return so.out.find('\n') != std::string::npos; }))
        << sim.SoFar().err;

    std::vector<std::string> args = {"--port", link, "--timeout", "50"};
    for (const std::string& arg : c.command)
        args.push_back(arg == "{tags}" ? tags : arg);
    Program kivhost(KIVHOST_PATH, args);
    const std::string failed = "port " + link + " failed: ";
    const std::string back = "port " + link + " back after ";

    // Station 2 set aside for its silence before the port goes.
    ASSERT_TRUE(kivhost.ReadUntil([](const Output& so) { return CycleLines(so.out).size() >= 3; }))
        << kivhost.SoFar().err;
    sim.Signal(SIGUSR1);
    ASSERT_TRUE(sim.ReadUntil([](const Output& so) { return so.out.find("unplugged") != std::string::npos; }));
    ASSERT_TRUE(kivhost.ReadUntil([&](const Output& so) { return so.err.find(failed) != std::string::npos; }))
        << kivhost.SoFar().err;
    // Long enough for a try to open it to fail.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    sim.Signal(SIGUSR1);
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

}  // namespace
