// The simulator's line seen from a port, and the plcsim program run beside
// the test: shared by the test files of the simulator.
#ifndef DAVODEV_TESTS_PLCSIM_PROCESS_H
#define DAVODEV_TESTS_PLCSIM_PROCESS_H

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace plcsim_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A fresh folder for links, removed with whatever is left in it.
class TempDir {
public:
    TempDir()
    {
        char name[] = "/tmp/plcsim-test-XXXXXX";
        path_ = mkdtemp(name) != nullptr ? name : "";
    }
    ~TempDir()
    {
        if (!path_.empty())
            std::filesystem::remove_all(path_);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    // What the folder holds, names sorted.
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string path_;
};

inline std::string LinkTarget(const std::string& path)
{
    char target[256] = {};
    return readlink(path.c_str(), target, sizeof target - 1) > 0 ? target : "";
}

// The port side of a line, opened the way a serial port is.
class Port {
public:
    explicit Port(const std::string& path)
    {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0)
            return;
        termios settings{};
        tcgetattr(fd_, &settings);
        cfmakeraw(&settings);
        tcsetattr(fd_, TCSANOW, &settings);
    }
    explicit Port(int fd) : fd_(fd) {}
    ~Port()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    void Send(const std::string& bytes)
    {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Up to want bytes, or what came before the time-out.
    std::string Read(size_t want, milliseconds timeout)
    {
        const auto deadline = Clock::now() + timeout;
        std::string got;
        while (got.size() < want) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 || !Readable(milliseconds(left)))
                break;
            if (!ReadSome(got, want - got.size()))
                break;
        }
        return got;
    }

    // Everything until the line stays quiet for the given time.
    std::string ReadQuiet(milliseconds quiet)
    {
        std::string got;
        while (Readable(quiet) && ReadSome(got, 4096)) {
        }
        return got;
    }

    bool Readable(milliseconds timeout)
    {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, static_cast<int>(timeout.count())) > 0 && (p.revents & POLLIN);
    }

private:
    bool ReadSome(std::string& got, size_t most)
    {
        char buffer[4096];
        const ssize_t n = read(fd_, buffer, std::min(most, sizeof buffer));
        if (n <= 0)
            return false;
        got.append(buffer, n);
        return true;
    }

    int fd_ = -1;
};

inline std::string ProgramPath()
{
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? n : 0);
    return path.substr(0, path.rfind('/') + 1) + "plcsim";
}

struct Child {
    pid_t pid = -1;
    int out = -1;  // its standard output
    int err = -1;  // its standard error
};

// plcsim with its outputs on pipes to the test; with out, its standard
// output goes there instead.
inline Child Spawn(const std::vector<std::string>& args, int out = -1)
{
    // Only the child's own ends reach it: a read end of its output kept there
    // would hide a reader gone.
    int outFds[2] = {-1, -1};
    int errFds[2];
    if (out < 0 && pipe2(outFds, O_CLOEXEC) != 0)
        return {};
    if (pipe2(errFds, O_CLOEXEC) != 0) {
        if (out < 0) {
            close(outFds[0]);
            close(outFds[1]);
        }
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out >= 0 ? out : outFds[1], STDOUT_FILENO);
        dup2(errFds[1], STDERR_FILENO);
        std::vector<char*> argv;
        const std::string program = ProgramPath();
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    if (out < 0)
        close(outFds[1]);
    close(errFds[1]);
    return {pid, outFds[0], errFds[0]};
}

inline int ExitCode(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// One line of the child's standard output, without its newline.
inline std::string ReadLine(Port& out)
{
    std::string line;
    while (line.empty() || line.back() != '\n') {
        const std::string more = out.Read(1, milliseconds(5000));
        if (more.empty())
            return line;
        line += more;
    }
    line.pop_back();
    return line;
}

}  // namespace plcsim_test

#endif  // DAVODEV_TESTS_PLCSIM_PROCESS_H
