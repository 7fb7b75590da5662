#include "bench/callgrind.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define KIVBENCH_HAVE_CALLGRIND 1
#else
#define KIVBENCH_HAVE_CALLGRIND 0
#endif

#include "bench/bench_line.h"
#include "bench/callgrind_dump.h"
#include "bench/exchange_kinds.h"
#include "bench/thread_times.h"

extern char** environ;

namespace kivbench {

namespace {

std::string ProgramPath()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    path[n] = '\0';
    return path;
}

}  // namespace

int CallgrindChild(int exchanges)
{
#if KIVBENCH_HAVE_CALLGRIND
    for (const ExchangeKind& kind : Kinds()) {
        Responder line(1, kind.reply);
        DriverSide driver(kind);
        if (driver.channel.ColdStart(line.Line(0).PortName(), 100) != SUCCESS)
            return 1;
        line.Start();
        for (int i = 0; i < 5; ++i)
            driver.Exchange();
        int failures = 0;
        for (int i = 0; i < exchanges; ++i) {
            CALLGRIND_TOGGLE_COLLECT;
            failures += !driver.Exchange();
            CALLGRIND_TOGGLE_COLLECT;
        }
        CALLGRIND_DUMP_STATS_AT(kind.name);
        driver.channel.CloseCom();
        line.Join();
        if (failures != 0)
            return 1;
    }
    return 0;
#else
    (void)exchanges;
    return 1;
#endif
}

std::map<std::string, Instructions> RunCallgrind(int exchanges, std::string* reason)
{
    std::map<std::string, Instructions> perExchange;
    if (!KIVBENCH_HAVE_CALLGRIND) {
        *reason = "built without valgrind/callgrind.h";
        return perExchange;
    }
    char directory[] = "/tmp/kivbench.XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        *reason = "no temporary directory";
        return perExchange;
    }
    const std::string outFile = std::string(directory) + "/cg.out";
    const std::string program = ProgramPath();
    const std::string count = std::to_string(exchanges);
    std::vector<std::string> args = {"valgrind",
                                     "--tool=callgrind",
                                     "--collect-atstart=no",
                                     "--callgrind-out-file=" + outFile,
                                     program,
                                     CALLGRIND_CHILD_OPTION,
                                     count};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "valgrind", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        *reason = "valgrind not found";
        rmdir(directory);
        return perExchange;
    }
    // A stuck child must not hold up the run.
    int status = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(180);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            *reason = "callgrind run took too long";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    if (DIR* dir = opendir(directory)) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            const std::string path = std::string(directory) + "/" + entry->d_name;
            const CallgrindDump dump = ReadCallgrindDump(path);
            if (!dump.name.empty() && dump.total >= 0)
                perExchange[dump.name] = {dump.total / exchanges, dump.inErr / exchanges};
            unlink(path.c_str());
        }
        closedir(dir);
    }
    rmdir(directory);
    if (perExchange.empty() && reason->empty())
        *reason = WIFEXITED(status) ? "callgrind run failed" : "callgrind run ended by a signal";
    return perExchange;
}

}  // namespace kivbench
