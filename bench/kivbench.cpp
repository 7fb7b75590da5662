// kivbench: what the driver costs against what the line itself costs.
//
// Every figure is taken in this one run, the driver and its baseline side by
// side and interleaved in rounds, so drift and the other work on the machine
// fall on both alike. The table goes to the terminal; the driver's traces go
// to /dev/null (file descriptor 1), and the host's log drops every line, as a
// host with logging off would have it.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define KIVBENCH_HAVE_CALLGRIND 1
#else
#define KIVBENCH_HAVE_CALLGRIND 0
#endif

#include "alloc_counter.h"
#include "bench_line.h"
#include "driver_host.h"
#include "plc_simulator.h"

extern char** environ;

namespace kivbench {
namespace {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// Output

FILE* out = stdout;  // the terminal, once fd 1 carries the traces away

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// Thousands separated by commas, for rates and instruction counts.
std::string Grouped(double value)
{
    const long long n = std::llround(value);
    std::string digits = std::to_string(n < 0 ? -n : n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), ",");
    return (n < 0 ? "-" : "") + digits;
}

size_t DisplayWidth(const std::string& text)
{
    size_t width = 0;
    for (unsigned char c : text)
        width += (c & 0xC0) != 0x80;  // count UTF-8 lead bytes only
    return width;
}

// A Markdown table with padded columns: readable in a terminal and ready to
// paste into a README.
class Table {
public:
    explicit Table(std::vector<std::string> header) : rows_{std::move(header)} {}
    void Row(std::vector<std::string> cells)
    {
        cells.resize(rows_[0].size());
        rows_.push_back(std::move(cells));
    }
    void Print() const
    {
        std::vector<size_t> widths(rows_[0].size(), 3);
        for (const auto& row : rows_)
            for (size_t i = 0; i < row.size(); ++i)
                widths[i] = std::max(widths[i], DisplayWidth(row[i]));
        for (size_t r = 0; r < rows_.size(); ++r) {
            std::string line = "|";
            for (size_t i = 0; i < rows_[r].size(); ++i)
                line += " " + rows_[r][i] + std::string(widths[i] - DisplayWidth(rows_[r][i]), ' ') + " |";
            std::fprintf(out, "%s\n", line.c_str());
            if (r == 0) {
                line = "|";
                for (size_t w : widths)
                    line += std::string(w + 2, '-') + "|";
                std::fprintf(out, "%s\n", line.c_str());
            }
        }
        std::fprintf(out, "\n");
        std::fflush(out);
    }

private:
    std::vector<std::vector<std::string>> rows_;
};

int met = 0;
int missed = 0;
std::vector<std::string> missedNames;

std::string Verdict(bool ok, const std::string& what)
{
    if (ok) {
        ++met;
        return "PASS";
    }
    ++missed;
    missedNames.push_back(what);
    return "MISS";
}

void Section(const char* title)
{
    std::fprintf(out, "### %s\n\n", title);
    std::fflush(out);
}

// ---------------------------------------------------------------------------
// Time and processor

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// User and system time of the calling thread.
struct ThreadTimes {
    double user = 0;
    double system = 0;
    double Total() const { return user + system; }
};

ThreadTimes Now()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return {usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6, usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6};
}

ThreadTimes operator-(const ThreadTimes& a, const ThreadTimes& b)
{
    return {a.user - b.user, a.system - b.system};
}

ThreadTimes& operator+=(ThreadTimes& a, const ThreadTimes& b)
{
    a.user += b.user;
    a.system += b.system;
    return a;
}

// ---------------------------------------------------------------------------
// The three exchanges

struct ExchangeKind {
    const char* name;
    uint32_t code;
    int32_t count;
    std::string request;  // as the driver frames it
    std::string reply;    // as a station answers it
    size_t header;        // the driver's first reception
    size_t rest;          // and its second
};

std::string WordData(int count)
{
    std::string data;
    for (int i = 0; i < count; ++i)
        data += Format("%04X", static_cast<unsigned>((0x1234 + i * 0x0101) & 0xFFFF));
    return data;
}

std::vector<ExchangeKind> Kinds()
{
    return {
        {"BlockRead 2 words", CMD_BLOCK_READ, 2, Framed("01RW001002"), Framed("A01RW" + WordData(2)), 7, 10},
        {"BlockRead 255 words", CMD_BLOCK_READ, 255, Framed("01RW0010FF"), Framed("A01RW" + WordData(255)), 7,
         255 * 4 + 2},
        {"SingleWrite 1 word", CMD_SINGLE_WRITE, 1, Framed("01SW0010011234"), Framed("A01SW"), 9, 0},
    };
}

// A driver channel set up for one kind of exchange.
struct DriverSide {
    HostChannel channel;
    HostIo io;
    DriverRequest request{};

    DriverSide(const ExchangeKind& kind, int32_t number = 0x10) : io(number, kind.count)
    {
        io.values[1] = 0x1234;  // what the write sends
        request.channel = &channel.block;
        request.code = kind.code;
        request.params = &io.io;
    }
    bool Exchange() { return CallDriver(&request) == SUCCESS; }
};

void Require(bool condition, const std::string& what)
{
    if (!condition)
        throw std::runtime_error(what);
}

// The driver's frame must be the floor's byte for byte, or the floor is not
// the floor of this exchange.
void CheckSameFrame(const DriverSide& side, const ExchangeKind& kind)
{
    Require(std::memcmp(side.channel.block.txArea, kind.request.data(), kind.request.size()) == 0,
            std::string(kind.name) + ": the driver's frame differs from the floor's");
}

// ---------------------------------------------------------------------------
// 1, 2, 5: exchange rate, processor time and allocations against the floor

struct RateResult {
    const ExchangeKind* kind = nullptr;
    uint64_t exchanges = 0;  // each side
    double driverSeconds = 0;
    double floorSeconds = 0;
    ThreadTimes driverCpu;
    ThreadTimes floorCpu;
    uint64_t allocations = 0;
    uint64_t failures = 0;
    std::vector<double> roundRatios;  // driver rate / floor rate, round by round
    double DriverRate() const { return exchanges / driverSeconds; }
    double FloorRate() const { return exchanges / floorSeconds; }
    // The median round: a burst of other work on the machine spoils one
    // round, not the figure.
    double Ratio() const
    {
        std::vector<double> sorted = roundRatios;
        std::sort(sorted.begin(), sorted.end());
        const size_t n = sorted.size();
        return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
};

RateResult MeasureRate(const ExchangeKind& kind, int rounds, int perRound, int warmUp)
{
    RateResult result;
    result.kind = &kind;
    Responder station(2, kind.reply);  // line 0 the driver's, line 1 the floor's
    DriverSide driver(kind);
    Require(driver.channel.ColdStart(station.Line(0).PortName(), 100) == SUCCESS, "ColdStart on a pty failed");
    FloorClient floor;
    Require(floor.Open(station.Line(1).SlavePath()), "floor client: cannot open the pty");
    station.Start();
    std::vector<uint8_t> reply(kind.reply.size());

    for (int i = 0; i < warmUp; ++i) {
        Require(driver.Exchange(), std::string(kind.name) + ": the driver's exchange failed");
        Require(floor.Exchange(kind.request, reply.data(), kind.header, kind.rest),
                std::string(kind.name) + ": the floor's exchange failed");
    }
    CheckSameFrame(driver, kind);
    Require(std::memcmp(reply.data(), kind.reply.data(), reply.size()) == 0, "floor: unexpected reply");
    if (kind.code == CMD_BLOCK_READ)
        Require(driver.io.values[0] == 0x1234 && driver.io.values[1] == 0x1335, "driver: values not decoded");

    const auto runDriver = [&] {
        const ThreadTimes cpu = Now();
        const uint64_t allocations = AllocationCount();
        const auto start = Clock::now();
        {
            AllocationScope counting;
            for (int i = 0; i < perRound; ++i)
                result.failures += !driver.Exchange();
        }
        const double seconds = Seconds(Clock::now() - start);
        result.driverSeconds += seconds;
        result.driverCpu += Now() - cpu;
        result.allocations += AllocationCount() - allocations;
        return seconds;
    };
    const auto runFloor = [&] {
        const ThreadTimes cpu = Now();
        const auto start = Clock::now();
        for (int i = 0; i < perRound; ++i)
            result.failures += !floor.Exchange(kind.request, reply.data(), kind.header, kind.rest);
        const double seconds = Seconds(Clock::now() - start);
        result.floorSeconds += seconds;
        result.floorCpu += Now() - cpu;
        return seconds;
    };
    for (int round = 0; round < rounds; ++round) {
        // Each side goes first every other round: neither always follows the other.
        double driverSeconds = 0;
        double floorSeconds = 0;
        if (round % 2 == 0) {
            driverSeconds = runDriver();
            floorSeconds = runFloor();
        } else {
            floorSeconds = runFloor();
            driverSeconds = runDriver();
        }
        result.roundRatios.push_back(floorSeconds / driverSeconds);
    }
    result.exchanges = static_cast<uint64_t>(rounds) * static_cast<uint64_t>(perRound);

    driver.channel.CloseCom();
    floor.Close();
    station.Join();
    return result;
}

// ---------------------------------------------------------------------------
// 2: the driver's own instructions, counted by callgrind in a child run

// Runs in the child under valgrind: only the KivMain calls are collected, one
// dump per kind of exchange.
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

std::string ProgramPath()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    path[n] = '\0';
    return path;
}

struct CallgrindDump {
    std::string name;  // the kind of exchange
    double total = -1;
    double inErr = 0;  // spent in the host's err, called from the driver
};

// One dump file: its trigger, its total, and the inclusive cost of the calls
// to err (each "calls=" line is followed by a cost line whose last number is
// the inclusive cost of those calls).
CallgrindDump ReadCallgrindDump(const std::string& path)
{
    CallgrindDump dump;
    std::ifstream file(path);
    std::map<std::string, std::string> names;  // "(id)" -> function name
    std::string callee;
    std::string line;
    bool costOfErr = false;
    const std::string trigger = "desc: Trigger: Client Request: ";
    while (std::getline(file, line)) {
        if (costOfErr) {
            dump.inErr += std::strtod(line.c_str() + line.rfind(' ') + 1, nullptr);
            costOfErr = false;
        } else if (line.rfind("fn=", 0) == 0 || line.rfind("cfn=", 0) == 0) {
            const std::string function = line.substr(line.find('=') + 1);
            const size_t space = function.find(' ');
            const std::string id = function.substr(0, space);
            if (space != std::string::npos)
                names[id] = function.substr(space + 1);
            if (line[0] == 'c')
                callee = names[id];
        } else if (line.rfind("calls=", 0) == 0) {
            costOfErr = callee == "err";
        } else if (line.rfind(trigger, 0) == 0) {
            dump.name = line.substr(trigger.size());
        } else if (line.rfind("totals: ", 0) == 0 || (dump.total < 0 && line.rfind("summary: ", 0) == 0)) {
            dump.total = std::strtod(line.c_str() + line.find(' ') + 1, nullptr);
        }
    }
    return dump;
}

struct Instructions {
    double total = 0;
    double inErr = 0;
};

// Instructions per exchange by kind name; empty with a reason when callgrind
// cannot be run.
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
                                     "--callgrind-child",
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

// ---------------------------------------------------------------------------
// 3: a silent station

struct SilentResult {
    uint32_t units = 0;
    int exchanges = 0;
    double meanSeconds = 0;
    ThreadTimes cpu;
    double pollOvershootMs = -1;  // poll alone, for comparison
    double pollCpuMsPerSecond = -1;
    uint64_t allocations = 0;
    bool allFailed = true;
    double ExpectedSeconds() const { return 4 * units * 0.010; }
    double OvershootPerAttemptMs() const { return (meanSeconds - ExpectedSeconds()) / 4 * 1000; }
    double LimitMs() const { return units * 10 * 0.02 + 5; }
    double CpuMsPerSecond() const { return cpu.Total() * 1000 / (meanSeconds * exchanges); }
};

SilentResult MeasureSilent(uint32_t units, int exchanges, int polls)
{
    SilentResult result;
    result.units = units;
    result.exchanges = exchanges;
    const ExchangeKind kind = Kinds()[0];
    {
        // One failed exchange at the shortest time-out first: the failure
        // path's first use (pages of code touched once) is not waiting.
        Responder line(1, std::string());
        DriverSide driver(kind);
        Require(driver.channel.ColdStart(line.Line(0).PortName(), 1) == SUCCESS, "ColdStart on a pty failed");
        line.Start();
        Require(CallDriver(&driver.request) == RECOVERY_ERROR, "a silent station answered");
        driver.channel.CloseCom();
        line.Join();
    }
    Responder line(1, std::string());
    DriverSide driver(kind);
    Require(driver.channel.ColdStart(line.Line(0).PortName(), units) == SUCCESS, "ColdStart on a pty failed");
    line.Start();

    double total = 0;
    for (int i = 0; i < exchanges; ++i) {
        const ThreadTimes cpu = Now();
        const uint64_t allocations = AllocationCount();
        const auto start = Clock::now();
        int32_t rc;
        {
            AllocationScope counting;
            rc = CallDriver(&driver.request);
        }
        total += Seconds(Clock::now() - start);
        result.cpu += Now() - cpu;
        result.allocations += AllocationCount() - allocations;
        result.allFailed = result.allFailed && rc == RECOVERY_ERROR;
    }
    result.meanSeconds = total / exchanges;
    driver.channel.CloseCom();
    line.Join();

    // The same waits with nothing around them: one poll(2) per attempt on a
    // quiet descriptor. On a virtual machine each wake-up from a long sleep
    // has a processor cost of its own, which the driver cannot avoid.
    if (polls > 0) {
        int fds[2];
        Require(pipe(fds) == 0, "pipe");
        double over = 0;
        double waited = 0;
        const ThreadTimes cpu = Now();
        for (int i = 0; i < polls; ++i) {
            pollfd p{fds[0], POLLIN, 0};
            const auto start = Clock::now();
            poll(&p, 1, static_cast<int>(units * 10));
            const double seconds = Seconds(Clock::now() - start);
            waited += seconds;
            over += seconds * 1000 - units * 10;
        }
        result.pollCpuMsPerSecond = (Now() - cpu).Total() * 1000 / waited;
        result.pollOvershootMs = over / polls;
        close(fds[0]);
        close(fds[1]);
    }
    return result;
}

// ---------------------------------------------------------------------------
// 4: a line paced at a real baud rate by the simulator

struct PacedResult {
    int baud = 0;
    const ExchangeKind* kind = nullptr;
    int exchanges = 0;
    double driverSeconds = 0;
    double floorSeconds = 0;
    uint64_t allocations = 0;
    uint64_t failures = 0;
    double DriverMs() const { return driverSeconds / exchanges * 1000; }
    double FloorMs() const { return floorSeconds / exchanges * 1000; }
    double WireMs(size_t bytes) const { return bytes * 10.0 / baud * 1000; }
    double RequestWireMs() const { return WireMs(kind->request.size()); }
    double ReplyWireMs() const { return WireMs(kind->reply.size()); }
};

plcsim::Options PacedOptions(int baud)
{
    plcsim::Options options;
    options.stations = {1};
    options.baud = baud;
    options.pace = true;
    options.max_records = 8;
    return options;
}

PacedResult MeasurePaced(int baud, const ExchangeKind& kind, int rounds, int perRound)
{
    PacedResult result;
    result.baud = baud;
    result.kind = &kind;
    plcsim::Simulator driverLine(PacedOptions(baud));
    plcsim::Simulator floorLine(PacedOptions(baud));
    driverLine.StartPty();
    floorLine.StartPty();
    for (plcsim::Simulator* sim : {&driverLine, &floorLine})
        for (int i = 0; i < kind.count; ++i)
            sim->SetWord(1, 0x10 + i, static_cast<uint16_t>(0x1234 + i * 0x0101));

    DriverSide driver(kind);
    // The pseudo-terminal ignores the speed (and 115200 does not fit the
    // 16-bit field); the simulator paces the line.
    const uint16_t baudField = static_cast<uint16_t>(std::min(baud, 57600));
    // A time-out longer than the slowest reply's wire time, as a host would set.
    Require(driver.channel.ColdStart(driverLine.SlavePath().substr(5), 300, baudField) == SUCCESS,
            "ColdStart on the simulator failed");
    FloorClient floor;
    Require(floor.Open(floorLine.SlavePath()), "floor client: cannot open the simulator's pty");
    std::vector<uint8_t> reply(kind.reply.size());

    Require(driver.Exchange(), std::string("paced ") + kind.name + ": the driver's exchange failed");
    Require(floor.Exchange(kind.request, reply.data(), kind.header, kind.rest, 3000),
            std::string("paced ") + kind.name + ": the floor's exchange failed");
    CheckSameFrame(driver, kind);
    Require(std::memcmp(reply.data(), kind.reply.data(), reply.size()) == 0,
            "the simulator's reply differs from the responder's");

    for (int round = 0; round < rounds; ++round) {
        for (int side = 0; side < 2; ++side) {
            if ((side + round) % 2 == 0) {
                const uint64_t allocations = AllocationCount();
                const auto start = Clock::now();
                {
                    AllocationScope counting;
                    for (int i = 0; i < perRound; ++i)
                        result.failures += !driver.Exchange();
                }
                result.driverSeconds += Seconds(Clock::now() - start);
                result.allocations += AllocationCount() - allocations;
            } else {
                const auto start = Clock::now();
                for (int i = 0; i < perRound; ++i)
                    result.failures += !floor.Exchange(kind.request, reply.data(), kind.header, kind.rest, 3000);
                result.floorSeconds += Seconds(Clock::now() - start);
            }
        }
    }
    result.exchanges = rounds * perRound;
    driver.channel.CloseCom();
    floor.Close();
    return result;
}

// ---------------------------------------------------------------------------
// 6: channels side by side

struct ScaleResult {
    int channels = 0;
    double driverRate = 0;
    double floorRate = 0;
    uint64_t failures = 0;
};

ScaleResult MeasureScale(int channels, std::chrono::microseconds turnaround, int rounds, int perThread)
{
    const ExchangeKind kind = Kinds()[0];
    // Channel c of the driver and of the floor share station c.
    std::vector<std::unique_ptr<Responder>> stations;
    std::vector<std::unique_ptr<DriverSide>> drivers;
    std::vector<std::unique_ptr<FloorClient>> floors;
    for (int c = 0; c < channels; ++c) {
        stations.push_back(std::make_unique<Responder>(2, kind.reply, turnaround));
        drivers.push_back(std::make_unique<DriverSide>(kind));
        Require(drivers[c]->channel.ColdStart(stations[c]->Line(0).PortName(), 100) == SUCCESS,
                "ColdStart on a pty failed");
        floors.push_back(std::make_unique<FloorClient>());
        Require(floors[c]->Open(stations[c]->Line(1).SlavePath()), "floor client: cannot open the pty");
        stations[c]->Start();
    }
    std::vector<uint8_t> scratch(kind.reply.size() * channels);
    std::atomic<uint64_t> failures{0};

    // One thread per channel for the whole measurement, working the driver's
    // channel or the floor's as told: both sides run on the same threads,
    // wherever the scheduler has put them. The clock runs from the common
    // start to the last thread's end.
    enum Work { DRIVER, FLOOR, QUIT };
    std::atomic<int> work{DRIVER};
    std::barrier sync(channels + 1);
    std::vector<std::thread> threads;
    for (int c = 0; c < channels; ++c) {
        threads.emplace_back([&, c] {
            for (;;) {
                sync.arrive_and_wait();
                const int what = work.load();
                if (what == QUIT)
                    return;
                uint64_t failed = 0;
                for (int i = 0; i < perThread; ++i) {
                    if (what == DRIVER)
                        failed += !drivers[c]->Exchange();
                    else
                        failed += !floors[c]->Exchange(kind.request, scratch.data() + c * kind.reply.size(),
                                                       kind.header, kind.rest);
                }
                failures += failed;
                sync.arrive_and_wait();
            }
        });
    }
    const auto runSide = [&](Work what) {
        work = what;
        const auto start = Clock::now();
        sync.arrive_and_wait();
        sync.arrive_and_wait();
        return Seconds(Clock::now() - start);
    };

    runSide(DRIVER);  // warm-up
    runSide(FLOOR);
    double driverSeconds = 0;
    double floorSeconds = 0;
    failures = 0;
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) {
            driverSeconds += runSide(DRIVER);
            floorSeconds += runSide(FLOOR);
        } else {
            floorSeconds += runSide(FLOOR);
            driverSeconds += runSide(DRIVER);
        }
    }
    work = QUIT;
    sync.arrive_and_wait();
    for (auto& t : threads)
        t.join();
    for (int c = 0; c < channels; ++c) {
        drivers[c]->channel.CloseCom();
        floors[c]->Close();
        stations[c]->Join();
    }
    const double exchanges = static_cast<double>(rounds) * channels * perThread;
    return {channels, exchanges / driverSeconds, exchanges / floorSeconds, failures.load()};
}

// ---------------------------------------------------------------------------

struct Plan {
    bool quick = false;
    bool callgrind = true;
    bool section[7] = {false, true, true, true, true, true, true};
    int rateRounds = 40;
    int ratePerRound[3] = {1000, 200, 1000};
    int rateWarmUp = 200;
    int callgrindExchanges = 200;
    int silentExchanges[2] = {5, 2};  // readTimeout 10, 100
    int silentPolls[2] = {20, 4};
    int pacedRounds = 4;
    int scaleRounds = 4;
    int scalePerThreadWait = 100;
    int scalePerThreadBusy = 1000;

    static Plan Quick()
    {
        Plan p;
        p.quick = true;
        p.rateRounds = 6;
        p.ratePerRound[0] = p.ratePerRound[2] = 100;
        p.ratePerRound[1] = 25;
        p.rateWarmUp = 20;
        p.callgrindExchanges = 20;
        p.silentExchanges[0] = 2;
        p.silentExchanges[1] = 1;
        p.silentPolls[0] = 4;
        p.silentPolls[1] = 1;
        p.pacedRounds = 2;
        p.scaleRounds = 2;
        p.scalePerThreadWait = 10;
        p.scalePerThreadBusy = 100;
        return p;
    }
};

// Exchanges per round on the paced line, each side: about half a second of
// line time, at least one.
int PacedPerRound(const Plan& plan, int baud, const ExchangeKind& kind)
{
    const double seconds = (kind.request.size() + kind.reply.size()) * 10.0 / baud;
    const double budget = plan.quick ? 0.1 : 0.5;
    return std::max(1, static_cast<int>(budget / seconds));
}

std::string Failed(uint64_t failures)
{
    return failures ? Format(" (%llu failed)", static_cast<unsigned long long>(failures)) : "";
}

std::string Us(double seconds)
{
    return Format("%.1f", seconds * 1e6);
}

std::string Header(const Plan& plan)
{
    char date[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S %Z", std::localtime(&now));
    std::string load = "?";
    std::ifstream loadavg("/proc/loadavg");
    std::getline(loadavg, load);
    load = load.substr(0, load.find(' ', load.find(' ', load.find(' ') + 1) + 1));
    return Format("kivbench%s: %s, %u cores, load average %s", plan.quick ? " --quick" : "", date,
                  std::thread::hardware_concurrency(), load.c_str());
}

void ReportRates(const Plan& plan, const std::vector<RateResult>& rates)
{
    Section("1. Exchange rate against the floor (pty, responder answers at once)");
    Table table({"exchange", "bytes out/in", "driver exch/s", "floor exch/s", "driver/floor, all rounds",
                 "driver/floor, median round", "target", "result"});
    for (const RateResult& r : rates) {
        const double ratio = r.Ratio();
        table.Row({r.kind->name, Format("%zu/%zu", r.kind->request.size(), r.kind->reply.size()),
                   Grouped(r.DriverRate()), Grouped(r.FloorRate()), Format("%.3f", r.DriverRate() / r.FloorRate()),
                   Format("%.3f", ratio), "median ≥ 0.90",
                   Verdict(ratio >= 0.90 && r.failures == 0, std::string("rate ") + r.kind->name) + Failed(r.failures)});
    }
    table.Print();

    std::string reason;
    std::map<std::string, Instructions> instructions;
    if (plan.callgrind)
        instructions = RunCallgrind(plan.callgrindExchanges, &reason);
    else
        reason = "skipped";

    Section("2. Processor cost per exchange (calling thread, kernel included; instructions: user space only)");
    Table cpu({"exchange", "driver user+sys", "(user / sys)", "floor user+sys", "driver − floor",
               "instructions in KivMain", "of them in the host's err", "result"});
    for (const RateResult& r : rates) {
        const double n = static_cast<double>(r.exchanges);
        const auto found = instructions.find(r.kind->name);
        const bool counted = found != instructions.end();
        cpu.Row({r.kind->name, Us(r.driverCpu.Total() / n) + " µs",
                 Us(r.driverCpu.user / n) + " / " + Us(r.driverCpu.system / n), Us(r.floorCpu.Total() / n) + " µs",
                 Us((r.driverCpu.Total() - r.floorCpu.Total()) / n) + " µs",
                 counted ? Grouped(found->second.total) : "— (" + reason + ")",
                 counted ? Grouped(found->second.inErr) : "—", "no target"});
    }
    cpu.Print();
}

void ReportSilent(const std::vector<SilentResult>& silents)
{
    Section("3. Silent station: time-out accuracy and idle cost (BlockRead, 4 attempts)");
    Table table({"readTimeout", "4 × time-out", "measured", "overshoot / attempt", "poll alone overshoot",
                 "limit / attempt", "result", "CPU while waiting", "poll alone CPU", "limit", "result"});
    for (const SilentResult& s : silents) {
        table.Row({Format("%u (%u ms)%s", s.units, s.units * 10, s.allFailed ? "" : " (an exchange succeeded!)"),
                   Format("%.0f ms", s.ExpectedSeconds() * 1000), Format("%.1f ms", s.meanSeconds * 1000),
                   Format("%.2f ms", s.OvershootPerAttemptMs()),
                   s.pollOvershootMs >= 0 ? Format("%.2f ms", s.pollOvershootMs) : "—",
                   Format("%.1f ms", s.LimitMs()),
                   Verdict(s.OvershootPerAttemptMs() < s.LimitMs() && s.allFailed,
                           Format("time-out accuracy at readTimeout %u", s.units)),
                   Format("%.3f ms/s", s.CpuMsPerSecond()),
                   s.pollCpuMsPerSecond >= 0 ? Format("%.3f ms/s", s.pollCpuMsPerSecond) : "—", "< 1 ms/s",
                   Verdict(s.CpuMsPerSecond() < 1.0, Format("idle cost at readTimeout %u", s.units))});
    }
    table.Print();
}

void ReportPaced(const std::vector<PacedResult>& paced)
{
    Section("4. Paced line: the simulator sends the reply at the baud rate (8N1, 10 bits a byte)");
    Table table({"baud", "exchange", "wire out + in", "floor", "turnaround (floor − reply wire)", "driver",
                 "driver added", "target", "result"});
    for (const PacedResult& p : paced) {
        const double added = p.DriverMs() - p.FloorMs();
        table.Row({std::to_string(p.baud), p.kind->name,
                   Format("%.2f + %.2f ms", p.RequestWireMs(), p.ReplyWireMs()), Format("%.2f ms", p.FloorMs()),
                   Format("%.2f ms", p.FloorMs() - p.ReplyWireMs()), Format("%.2f ms", p.DriverMs()),
                   Format("%+.3f ms", added), "< 1 ms",
                   Verdict(added < 1.0 && p.failures == 0, Format("paced %d %s", p.baud, p.kind->name)) +
                       Failed(p.failures)});
    }
    table.Print();
}

void ReportHeap(const std::vector<RateResult>& rates, const std::vector<SilentResult>& silents,
                const std::vector<PacedResult>& paced)
{
    Section("5. Heap allocations during KivMain, after warm-up");
    Table table({"exchanges", "KivMain calls", "allocations", "per call", "target", "result"});
    const auto row = [&](const std::string& what, uint64_t calls, uint64_t allocations) {
        table.Row({what, Grouped(static_cast<double>(calls)), std::to_string(allocations),
                   calls ? Format("%.3f", allocations / static_cast<double>(calls)) : "—", "0",
                   Verdict(allocations == 0, "allocations, " + what)});
    };
    for (const RateResult& r : rates)
        row(r.kind->name, r.exchanges, r.allocations);
    if (!silents.empty()) {
        uint64_t calls = 0;
        uint64_t allocations = 0;
        for (const SilentResult& s : silents) {
            calls += static_cast<uint64_t>(s.exchanges);
            allocations += s.allocations;
        }
        row("silent station (4 attempts, failure logged)", calls, allocations);
    }
    if (!paced.empty()) {
        uint64_t calls = 0;
        uint64_t allocations = 0;
        for (const PacedResult& p : paced) {
            calls += static_cast<uint64_t>(p.exchanges);
            allocations += p.allocations;
        }
        row("paced line (all of 4)", calls, allocations);
    }
    table.Print();
}

// A driver that serialised its channels (a lock held across an exchange)
// would stay near 1× on the waiting line while the floor's threads scale: the
// target compares the driver's speed-up with the floor's. On the busy line the
// processors are the limit and the ratio only repeats the processor cost of 2.
void MeasureAndReportScale(const Plan& plan)
{
    Section("6. Channels side by side: one thread and one station per channel (BlockRead 2 words)");
    for (const auto turnaround : {std::chrono::microseconds(2000), std::chrono::microseconds(0)}) {
        const bool waiting = turnaround.count() > 0;
        std::fprintf(out, "%s\n\n",
                     waiting ? "Station turnaround 2 ms: the line, not the processors, limits each channel."
                             : "Station answers at once: the two processors limit the total (no target).");
        Table table({"channels", "driver exch/s", "floor exch/s", "driver/floor", "driver speed-up",
                     "floor speed-up", "driver speed-up / floor's", "target", "result"});
        ScaleResult single;
        for (int channels : {1, 2, 4, 8}) {
            const ScaleResult s = MeasureScale(channels, turnaround, plan.scaleRounds,
                                               waiting ? plan.scalePerThreadWait : plan.scalePerThreadBusy);
            if (channels == 1)
                single = s;
            const double driverSpeedUp = s.driverRate / single.driverRate;
            const double floorSpeedUp = s.floorRate / single.floorRate;
            const double scaling = driverSpeedUp / floorSpeedUp;
            const bool judged = waiting && channels > 1;
            table.Row({std::to_string(channels), Grouped(s.driverRate), Grouped(s.floorRate),
                       Format("%.3f", s.driverRate / s.floorRate), Format("%.2f×", driverSpeedUp),
                       Format("%.2f×", floorSpeedUp), channels > 1 ? Format("%.3f", scaling) : "—",
                       judged ? "≥ 0.90" : "—",
                       (judged ? Verdict(scaling >= 0.90 && s.failures == 0,
                                         Format("%d channels side by side", channels))
                               : std::string("—")) +
                           Failed(s.failures)});
        }
        table.Print();
    }
}

int Run(const Plan& plan)
{
    std::fprintf(out, "%s\n\n", Header(plan).c_str());
    std::fflush(out);
    const std::vector<ExchangeKind> kinds = Kinds();

    std::vector<RateResult> rates;
    if (plan.section[1]) {
        for (size_t k = 0; k < kinds.size(); ++k)
            rates.push_back(MeasureRate(kinds[k], plan.rateRounds, plan.ratePerRound[k], plan.rateWarmUp));
        ReportRates(plan, rates);
    }

    std::vector<SilentResult> silents;
    if (plan.section[3]) {
        silents.push_back(MeasureSilent(10, plan.silentExchanges[0], plan.silentPolls[0]));
        silents.push_back(MeasureSilent(100, plan.silentExchanges[1], plan.silentPolls[1]));
        ReportSilent(silents);
    }

    std::vector<PacedResult> paced;
    if (plan.section[4]) {
        for (int baud : {9600, 115200})
            for (const ExchangeKind& kind : kinds) {
                if (plan.quick && baud == 9600 && kind.count == 255)
                    continue;  // a second per exchange: too long for a smoke run
                paced.push_back(MeasurePaced(baud, kind, plan.pacedRounds, PacedPerRound(plan, baud, kind)));
            }
        ReportPaced(paced);
    }

    if (!rates.empty() || !silents.empty() || !paced.empty())
        ReportHeap(rates, silents, paced);

    if (plan.section[6])
        MeasureAndReportScale(plan);

    std::fprintf(out, "targets met: %d, missed: %d\n", met, missed);
    for (const std::string& name : missedNames)
        std::fprintf(out, "  missed: %s\n", name.c_str());
    std::fflush(out);
    return 0;
}

void Usage()
{
    std::fprintf(out,
                 "usage: kivbench [--quick] [--no-callgrind] [--only LIST]\n"
                 "  Measures the driver (libDAVODEV.so beside this program) against the\n"
                 "  system calls of the same exchanges without it, and prints the tables.\n"
                 "  --quick         a few hundred exchanges and short silent tests (CI)\n"
                 "  --no-callgrind  skip counting instructions under valgrind\n"
                 "  --only LIST     run only these of 1 (rate, with 2 and 5), 3, 4, 6; e.g. 1,6\n");
}

}  // namespace
}  // namespace kivbench

int main(int argc, char** argv)
{
    using namespace kivbench;
    Plan plan;
    int callgrindChild = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            Plan quick = Plan::Quick();
            quick.callgrind = plan.callgrind;
            std::copy(std::begin(plan.section), std::end(plan.section), std::begin(quick.section));
            plan = quick;
        } else if (arg == "--no-callgrind") {
            plan.callgrind = false;
        } else if (arg == "--only" && i + 1 < argc) {
            std::fill(std::begin(plan.section), std::end(plan.section), false);
            for (const char* c = argv[++i]; *c; ++c)
                if (*c >= '1' && *c <= '6')
                    plan.section[*c - '0'] = true;
        } else if (arg == "--callgrind-child" && i + 1 < argc) {
            callgrindChild = std::atoi(argv[++i]);
        } else {
            Usage();
            return arg == "--help" || arg == "-h" ? 0 : 2;
        }
    }

    // The driver's traces go where a host with no console sends them; the
    // table keeps the original standard output.
    std::fflush(stdout);
    const int terminal = dup(1);
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (terminal < 0 || devNull < 0 || dup2(devNull, 1) < 0) {
        std::perror("kivbench: redirecting standard output");
        return 1;
    }
    close(devNull);
    out = fdopen(terminal, "w");

    std::string error;
    if (!LoadDriver(&error)) {
        std::fprintf(stderr, "kivbench: cannot load the driver: %s\n", error.c_str());
        return 1;
    }
    try {
        if (callgrindChild > 0)
            return CallgrindChild(callgrindChild);
        return Run(plan);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kivbench: %s\n", e.what());
        return 1;
    }
}
