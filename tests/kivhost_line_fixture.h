// kivhost run as a program beside the test, and a line of simulated stations
// for it: shared by the test files that run kivhost against plcsim.
#ifndef DAVODEV_TESTS_KIVHOST_LINE_FIXTURE_H
#define DAVODEV_TESTS_KIVHOST_LINE_FIXTURE_H

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "sim/plc_simulator.h"

namespace kivhost_test {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// kivhost running beside the test: both outputs read as they come so that
// neither pipe fills up, then ended and reaped.
class KivhostRunning {
public:
    // program: kivhost unless another is named (plcsim, for one table of both).
    explicit KivhostRunning(const std::vector<std::string>& args, std::string program = KIVHOST_PATH)
    {
        int outPipe[2];
        int errPipe[2];
        if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
            return;
        std::vector<std::string> copies = args;
        std::vector<char*> argv = {program.data()};
        for (std::string& arg : copies)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        child_ = fork();
        if (child_ == 0) {
            dup2(outPipe[1], 1);
            dup2(errPipe[1], 2);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(outPipe[1]);
        close(errPipe[1]);
        fds_[0] = {outPipe[0], POLLIN, 0};
        fds_[1] = {errPipe[0], POLLIN, 0};
    }
    ~KivhostRunning()
    {
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        for (pollfd& fd : fds_)
            if (fd.fd >= 0)
                close(fd.fd);
    }
    KivhostRunning(const KivhostRunning&) = delete;
    KivhostRunning& operator=(const KivhostRunning&) = delete;

    // Reads until done holds for the output so far; false when the program
    // ended first, or a minute went by.
    bool ReadUntil(const std::function<bool(const Outcome&)>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done(run_)) {
            if (std::chrono::steady_clock::now() > deadline || !ReadSome())
                return false;
        }
        return true;
    }

    // What it printed so far.
    const Outcome& SoFar() const { return run_; }
    // Any signal: plcsim's SIGUSR1 unplugs its line, the next plugs it in.
    void Send(int signal) { kill(child_, signal); }
    // As from Ctrl-C.
    void SendInterrupt() { kill(child_, SIGINT); }
    // As from a terminal or ssh session that closed.
    void SendHangup() { kill(child_, SIGHUP); }
    // As from a service manager stopping it.
    void SendTerminate() { kill(child_, SIGTERM); }

    // Once reading has stopped: what it printed and its status. A program
    // whose outputs are still open has hung, is killed, and its status
    // shows it.
    Outcome Wait()
    {
        if (child_ <= 0)
            return run_;
        if (fds_[0].fd >= 0 || fds_[1].fd >= 0)
            kill(child_, SIGKILL);
        int status = 0;
        waitpid(child_, &status, 0);
        child_ = -1;
        run_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return run_;
    }

    // As from Ctrl-C: everything it prints until it ends, and its status.
    Outcome Interrupt()
    {
        SendInterrupt();
        ReadUntil([](const Outcome&) { return false; });
        return Wait();
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
    Outcome run_;
};

// Once it holds for what the program printed so far, the program gets a
// SIGINT, as from Ctrl-C.
using Interrupt = std::function<bool(const Outcome&)>;

// Runs kivhost with args to its end. The interrupts are sent one after the
// other, each once it holds.
inline Outcome RunKivhost(const std::vector<std::string>& args, std::vector<Interrupt> interrupts = {})
{
    KivhostRunning running(args);
    running.ReadUntil([&](const Outcome& soFar) {
        if (!interrupts.empty() && interrupts.front()(soFar)) {
            running.SendInterrupt();
            interrupts.erase(interrupts.begin());
        }
        return false;
    });
    return running.Wait();
}

// Stations 1 and 2 on a pseudo-terminal (unless the options say otherwise);
// 3 is not on the line.

class KivhostLine : public ::testing::Test {
protected:
    static plcsim::Options SimOptions()
    {
        plcsim::Options options;
        options.stations = {1, 2};
        // What the line carries, for a monitor; unread, it costs nothing.
        options.mirror = "/tmp/kivhost-test-mirror-" + std::to_string(getpid());
        return options;
    }

    explicit KivhostLine(const plcsim::Options& options = SimOptions()) : sim_(options), stations_(options.stations) {}

    void SetUp() override
    {
        sim_.SetWord(1, 0x10, 0x1234);
        sim_.SetWord(1, 0x11, 0xABCD);
        if (std::find(stations_.begin(), stations_.end(), 2) != stations_.end())
            sim_.SetBit(2, 'A', 0x1F7, true);
        sim_.StartPty();
    }
    void TearDown() override
    {
        if (held_ >= 0)
            close(held_);
        sim_.Stop();
    }

    // args with "{port}" replaced by the line's path.
    Outcome Kivhost(std::vector<std::string> args, std::vector<Interrupt> interrupts = {})
    {
        for (std::string& arg : args)
            if (arg == "{port}")
                arg = sim_.SlavePath();
        return RunKivhost(args, std::move(interrupts));
    }

public:
    std::string Path() const { return sim_.SlavePath(); }
    // The line opened and locked here, as another program holding it would.
    void HoldPort()
    {
        held_ = open(sim_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(held_, 0);
        ASSERT_EQ(flock(held_, LOCK_EX | LOCK_NB), 0);
    }

protected:
    plcsim::Simulator sim_;
    std::vector<int> stations_;
    int held_ = -1;
};

}  // namespace kivhost_test

#endif  // DAVODEV_TESTS_KIVHOST_LINE_FIXTURE_H
