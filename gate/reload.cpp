#include "gate/reload.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

namespace kivgate {

namespace {

std::vector<std::string> commandLine;
// Set by the handler on the main thread, taken by the watcher on its own:
// an atomic, which a handler may store to when it is lock-free.
std::atomic<bool> reloadRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

constexpr size_t CHECK_OUTPUT_MAX = 64 * 1024;
constexpr auto CHECK_TIME = std::chrono::seconds(30);

extern "C" void OnReloadSignal(int)
{
    reloadRequested.store(true);
}

std::vector<char*> Argv(std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    return argv;
}

// The last non-empty line of text.
std::string LastLine(const std::string& text)
{
    size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos)
        return {};
    const size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end - (start == std::string::npos ? 0 : start + 1) + 1);
}

}  // namespace

void RememberCommandLine(int argc, char** argv)
{
    commandLine.assign(argv, argv + argc);
}

void CatchReloadSignal()
{
    struct sigaction action {};
    action.sa_handler = OnReloadSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGHUP, &action, nullptr);
}

bool TakeReloadRequest()
{
    return reloadRequested.exchange(false);
}

std::string CheckRestart()
{
    if (commandLine.empty())
        return "the command line is not known";
    std::vector<std::string> args = commandLine;
    args.push_back("--plan");
    std::vector<char*> argv = Argv(args);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return std::string("cannot check the new start: ") + std::strerror(errno);
    const pid_t child = fork();
    if (child < 0) {
        close(out[0]);
        close(out[1]);
        return std::string("cannot check the new start: ") + std::strerror(errno);
    }
    if (child == 0) {
        // Only async-signal-safe calls from here: the parent has threads.
        dup2(out[1], 1);
        dup2(out[1], 2);
        const int nothing = open("/dev/null", O_RDONLY);
        if (nothing >= 0)
            dup2(nothing, 0);
        execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string output;
    const auto until = std::chrono::steady_clock::now() + CHECK_TIME;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(child, SIGKILL);
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        char buffer[4096];
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n > 0 && output.size() < CHECK_OUTPUT_MAX)
            output.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return {};
    const std::string why = LastLine(output);
    return why.empty() ? "the new start was refused" : why;
}

std::string Restart()
{
    std::vector<std::string> args = commandLine;
    std::vector<char*> argv = Argv(args);
    execv("/proc/self/exe", argv.data());
    return std::string("cannot run kivgate again: ") + std::strerror(errno);
}

}  // namespace kivgate
