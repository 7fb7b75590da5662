// The simulator over real pseudo-terminals, as a port would see it, and the
// plcsim program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "davodev_version.h"
#include "framed.h"
#include "pcon_station.h"
#include "plc_simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
using plcsim::Fault;
using plcsim::FaultKind;
using std::chrono::milliseconds;

std::string ReadOf(int station)
{
    return Framed(plcsim::Hex(station, 2) + "RW001002");
}

long Millis(Clock::duration d)
{
    return std::chrono::duration_cast<milliseconds>(d).count();
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
            const auto left = Millis(deadline - Clock::now());
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

plcsim::Options StationsOptions(std::vector<int> stations)
{
    plcsim::Options options;
    options.stations = std::move(stations);
    return options;
}

// Sends and waits until the simulator has finished with the request, so
// whatever it answered is already on the line.
std::string Exchange(plcsim::Simulator& sim, Port& port, const std::string& frame)
{
    const uint64_t before = sim.RequestCount();
    port.Send(frame);
    EXPECT_TRUE(sim.WaitForRequests(before + 1, milliseconds(5000)));
    return port.ReadQuiet(milliseconds(20));
}

TEST(PlcsimLine, AnswersAndChangesMemoryOverAPseudoTerminal)
{
    plcsim::Simulator sim;
    sim.StartPty();
    sim.SetWord(1, 0x10, 0x1234);
    Port port(sim.SlavePath());
    ASSERT_TRUE(port.IsOpen()) << sim.SlavePath();

    port.Send("/01RW0010022D\r");
    EXPECT_EQ(port.Read(17, milliseconds(3000)), "/A01RW12340000D5\r");
    port.Send("/01SW0010011234F7\r"
              "/01X100105r52\r");  // back to back
    EXPECT_EQ(port.Read(18, milliseconds(3000)), "/A01SW4C\r/A01X12B\r");
    EXPECT_EQ(sim.Word(1, 0x10), 0x1214);
}

TEST(PlcsimLine, OnlyTheAddressedStationAnswers)
{
    plcsim::Simulator sim(StationsOptions({1, 2, 5}));
    sim.StartPty();
    Port port(sim.SlavePath());
    for (int station : {1, 2, 5}) {
        sim.SetWord(station, 0x10, static_cast<uint16_t>(station * 0x1111));
    }
    for (int station : {1, 2, 5}) {
        const std::string reply = Exchange(sim, port, ReadOf(station));
        const std::string digits = plcsim::Hex(station, 2);
        EXPECT_EQ(reply, Framed("A" + digits + "RW" + plcsim::Hex(station * 0x1111, 4) + "0000"));
    }
    EXPECT_EQ(Exchange(sim, port, ReadOf(3)), "");
    EXPECT_EQ(sim.Records().back().note, "no such station");
}

TEST(PlcsimLine, EachFaultDoesWhatItSays)
{
    struct Row {
        const char* name;
        Fault fault;
        std::function<void(const std::string&)> check;
    };
    const std::string good = "/A01RW12340000D5\r";
    const std::vector<Row> table = {
        {"silent", {FaultKind::Silent}, [](auto& got) { EXPECT_EQ(got, ""); }},
        {"drop", {FaultKind::Drop}, [](auto& got) { EXPECT_EQ(got, ""); }},
        {"wrong station", {FaultKind::WrongStation}, [](auto& got) { EXPECT_EQ(got.substr(0, 6), "/A02RW"); }},
        {"not acknowledged", {FaultKind::Nak}, [](auto& got) { EXPECT_EQ(got.substr(0, 4), "/N01"); }},
        {"truncated", {FaultKind::Truncate, 1.0, 5}, [](auto& got) { EXPECT_EQ(got, "/A01R"); }},
        {"extra bytes",
         {FaultKind::Extra, 1.0, 3},
         [&](auto& got) {
             EXPECT_EQ(got.size(), good.size() + 3);
             EXPECT_EQ(got.substr(0, good.size()), good);
         }},
        {"noise first",
         {FaultKind::Noise, 1.0, 4},
         [&](auto& got) {
             EXPECT_EQ(got.size(), good.size() + 4);
             EXPECT_EQ(got.substr(4), good);
         }},
        {"corrupted data",
         {FaultKind::Corrupt},
         [&](auto& got) {
             ASSERT_EQ(got.size(), good.size());
             EXPECT_NE(got, good);
             EXPECT_NE(got.find('G'), std::string::npos);
         }},
    };
    plcsim::Simulator sim;
    sim.StartPty();
    sim.SetWord(1, 0x10, 0x1234);
    Port port(sim.SlavePath());
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        sim.ClearFaults(1);
        sim.SetFault(1, row.fault);
        row.check(Exchange(sim, port, "/01RW0010022D\r"));
        EXPECT_EQ(sim.Records().back().faults, std::vector<FaultKind>{row.fault.kind});
    }
    sim.ClearFaults(1);
    EXPECT_EQ(Exchange(sim, port, "/01RW0010022D\r"), good);
}

TEST(PlcsimLine, SilentRequestsAreNotExecutedDroppedOnesAre)
{
    plcsim::Simulator sim;
    sim.StartPty();
    Port port(sim.SlavePath());
    sim.SetFault(1, {FaultKind::Silent});
    EXPECT_EQ(Exchange(sim, port, "/01SW0010011234F7\r"), "");
    EXPECT_EQ(sim.Word(1, 0x10), 0);
    sim.ClearFaults(1);
    sim.SetFault(1, {FaultKind::Drop});
    EXPECT_EQ(Exchange(sim, port, "/01SW0010011234F7\r"), "");
    EXPECT_EQ(sim.Word(1, 0x10), 0x1234);
}

TEST(PlcsimLine, DelayHoldsTheReplyBack)
{
    plcsim::Simulator sim;
    sim.StartPty();
    sim.SetFault(1, {FaultKind::Delay, 1.0, 150});
    Port port(sim.SlavePath());
    const auto start = Clock::now();
    port.Send("/01RW0010022D\r");
    EXPECT_EQ(port.Read(17, milliseconds(5000)).size(), 17u);
    EXPECT_GE(Millis(Clock::now() - start), 140);
}

TEST(PlcsimLine, SplitSendsPiecesWithPauses)
{
    plcsim::Simulator sim;
    sim.StartPty();
    sim.SetFault(1, {FaultKind::Split, 1.0, 3, 80});
    Port port(sim.SlavePath());
    port.Send("/01RW0010022D\r");
    // Most likely only the first piece; a slow machine may show none yet.
    const std::string first = port.Read(17, milliseconds(40));
    const std::string rest = port.Read(17 - first.size(), milliseconds(5000));
    EXPECT_EQ(first + rest, Framed("A01RW00000000"));
    EXPECT_LT(first.size(), 17u);
    ASSERT_TRUE(sim.WaitForRequests(1, milliseconds(5000)));  // the reply is recorded
    const auto reply = sim.Records().back();
    ASSERT_EQ(reply.direction, plcsim::Record::Direction::Reply);
    EXPECT_GE(Millis(reply.end - reply.start), 140);  // two pauses of 80
}

TEST(PlcsimLine, PacingSendsAtTheLineRate)
{
    plcsim::Options options;
    options.baud = 1200;  // 17 characters of 10 bits: about 142 ms
    options.pace = true;
    plcsim::Simulator sim(options);
    sim.StartPty();
    Port port(sim.SlavePath());
    const auto start = Clock::now();
    port.Send("/01RW0010022D\r");
    EXPECT_EQ(port.Read(17, milliseconds(5000)), Framed("A01RW00000000"));
    EXPECT_GE(Millis(Clock::now() - start), 125);

    // The same as a fault of one station, with a wider character format.
    plcsim::Options slow;
    slow.baud = 2400;
    slow.format = *plcsim::ParseCharFormat("8E2");  // 12 bits: 17 characters in 85 ms
    plcsim::Simulator paced(slow);
    paced.StartPty();
    paced.SetFault(1, {FaultKind::Pace});
    Port other(paced.SlavePath());
    other.Send("/01RW0010022D\r");
    EXPECT_EQ(other.Read(17, milliseconds(5000)).size(), 17u);
    ASSERT_TRUE(paced.WaitForRequests(1, milliseconds(5000)));
    const auto reply = paced.Records().back();
    EXPECT_GE(Millis(reply.end - reply.start), 70);  // first to last of 17 bytes: 16 character times
}

std::string DropPattern(uint32_t seed)
{
    plcsim::Options options;
    options.seed = seed;
    plcsim::Simulator sim(options);
    sim.StartPty();
    sim.SetFault(1, {FaultKind::Drop, 0.5});
    Port port(sim.SlavePath());
    std::string pattern;
    for (int i = 0; i < 30; ++i)
        pattern += Exchange(sim, port, ReadOf(1)).empty() ? 'x' : '.';
    return pattern;
}

TEST(PlcsimLine, DropIsDeterministicUnderASeed)
{
    const std::string first = DropPattern(7);
    EXPECT_EQ(first, DropPattern(7));
    const auto dropped = std::count(first.begin(), first.end(), 'x');
    EXPECT_GE(dropped, 5) << first;
    EXPECT_LE(dropped, 25) << first;
}

TEST(PlcsimLine, ScriptedFaultsApplyToTheNextRequestsInOrder)
{
    plcsim::Simulator sim(StationsOptions({1, 2}));
    sim.StartPty();
    Port port(sim.SlavePath());
    sim.ScriptFault(1, {FaultKind::Silent}, 3);
    sim.ScriptFault(1, {FaultKind::Nak}, 1);
    EXPECT_EQ(Exchange(sim, port, ReadOf(2)), Framed("A02RW00000000"));  // other stations unaffected
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Exchange(sim, port, ReadOf(1)), "") << i;
    EXPECT_EQ(Exchange(sim, port, ReadOf(1)).substr(0, 2), "/N");
    EXPECT_EQ(Exchange(sim, port, ReadOf(1)), Framed("A01RW00000000"));
}

TEST(PlcsimLine, FramingSkipsNoiseCutFramesAndOverlongOnes)
{
    plcsim::Simulator sim;
    sim.StartPty();
    Port port(sim.SlavePath());
    const std::string reply = Framed("A01RW00000000");
    EXPECT_EQ(Exchange(sim, port, "xyz\r#" + ReadOf(1)), reply);
    EXPECT_EQ(Exchange(sim, port, "/01RW00" + ReadOf(1)), reply);

    const uint64_t before = sim.RequestCount();
    port.Send("/" + std::string(2200, '0'));
    ASSERT_TRUE(sim.WaitForRequests(before + 1, milliseconds(5000)));
    EXPECT_EQ(sim.Records().back().note, "too long, discarded");
    EXPECT_EQ(Exchange(sim, port, "\r" + ReadOf(1)), reply);
}

TEST(PlcsimLine, RecordsEveryRequestAndReply)
{
    plcsim::Options options;
    options.maxRecords = 3;
    plcsim::Simulator sim(options);
    sim.StartPty();
    Port port(sim.SlavePath());
    sim.ScriptFault(1, {FaultKind::Delay, 1.0, 30}, 1);
    Exchange(sim, port, ReadOf(1));
    auto records = sim.Records();
    ASSERT_EQ(records.size(), 2u);
    const auto& request = records[0];
    const auto& reply = records[1];
    EXPECT_EQ(request.direction, plcsim::Record::Direction::Request);
    EXPECT_EQ(request.bytes, ReadOf(1));
    EXPECT_EQ(request.station, 1);
    EXPECT_EQ(request.faults, std::vector<FaultKind>{FaultKind::Delay});
    EXPECT_EQ(reply.direction, plcsim::Record::Direction::Reply);
    EXPECT_EQ(reply.bytes, Framed("A01RW00000000"));
    EXPECT_EQ(reply.sequence, request.sequence + 1);
    EXPECT_LE(request.start, request.end);
    EXPECT_GE(Millis(reply.start - request.end), 25);
    EXPECT_LE(reply.start, reply.end);

    Exchange(sim, port, "/01RW0010022E\r");  // bad checksum
    Exchange(sim, port, ReadOf(1));
    records = sim.Records();
    ASSERT_EQ(records.size(), 3u);  // bounded; the sequence goes on
    EXPECT_EQ(records.front().sequence, 2u);
    EXPECT_EQ(records.front().note, "bad checksum");
    EXPECT_EQ(sim.RequestCount(), 3u);

    sim.ClearRecords();
    EXPECT_TRUE(sim.Records().empty());
    EXPECT_EQ(plcsim::FormatRecord(records.front(), records.front().start),
              "    0.000000 rx -- /01RW0010022E\\r (bad checksum)");
}

TEST(PlcsimLine, StopIsPromptIdempotentAndHangsUpTheLine)
{
    auto sim = std::make_unique<plcsim::Simulator>();
    sim->StartPty();
    sim->SetFault(1, {FaultKind::Delay, 1.0, 20000});
    Port port(sim->SlavePath());
    port.Send(ReadOf(1));
    const auto deadline = Clock::now() + milliseconds(5000);
    while (sim->Records().empty() && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(5));
    ASSERT_FALSE(sim->Records().empty());

    const auto start = Clock::now();
    sim->Stop();
    EXPECT_LT(Millis(Clock::now() - start), 5000);  // not the 20 s of the delay
    EXPECT_FALSE(sim->Running());
    sim->Stop();
    pollfd p{port.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    sim.reset();  // the destructor after a stop
}

TEST(PlcsimLine, UnplugHangsUpAndReplugServesANewLineAtTheLink)
{
    const std::string link = "/tmp/plcsim-" + std::to_string(getpid());
    plcsim::Options options;
    options.link = link;
    plcsim::Simulator sim(options);
    sim.StartPty();
    sim.SetWord(1, 0x10, 0x4321);
    const std::string firstPath = sim.SlavePath();
    Port port(link);
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(Exchange(sim, port, "/01RW0010012C\r"), Framed("A01RW4321"));

    sim.Unplug();
    pollfd p{port.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    char byte;
    EXPECT_LE(read(port.Fd(), &byte, 1), 0);
    struct stat info {};
    EXPECT_NE(lstat(link.c_str(), &info), 0) << "link left behind";

    sim.Replug();
    EXPECT_TRUE(sim.Running());
    EXPECT_NE(sim.SlavePath(), firstPath);
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(sim.SlavePath(), target);
    Port again(link);
    ASSERT_TRUE(again.IsOpen());
    EXPECT_EQ(Exchange(sim, again, "/01RW0010012C\r"), Framed("A01RW4321"));

    sim.Stop();
    EXPECT_NE(lstat(link.c_str(), &info), 0) << "link left behind";
}

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST(PlcsimLine, IdleLineDoesNotSpin)
{
    plcsim::Simulator sim;
    sim.StartPty();
    {
        Port once(sim.SlavePath());
    }  // opened and closed again: nobody holds the port now
    const double before = CpuSeconds();
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_LT(CpuSeconds() - before, 0.15);  // a spinning thread would burn the whole 0.3 s
    Port port(sim.SlavePath());
    EXPECT_EQ(Exchange(sim, port, ReadOf(1)), Framed("A01RW00000000"));
}

TEST(PlcsimLine, ServesADevice)
{
    // A pseudo-terminal stands in for the device; the test talks on its master.
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string device = ptsname(master);
    Port port(master);
    plcsim::Simulator sim;
    sim.StartDevice(device);
    EXPECT_EQ(sim.SlavePath(), device);
    sim.SetBit(1, 'A', 0x1F7, true);
    EXPECT_TRUE(sim.Bit(1, 'A', 0x1F7));
    EXPECT_EQ(Exchange(sim, port, Framed("01RA1F,701")), Framed("A01RA1"));
    EXPECT_THROW(sim.StartPty(), std::logic_error);
}

TEST(PlcsimLine, AccessorsRejectWhatDoesNotExist)
{
    plcsim::Simulator sim(StationsOptions({3}));
    EXPECT_THROW(sim.SetWord(1, 0, 1), std::out_of_range);
    EXPECT_THROW(sim.Word(3, 0x10000), std::out_of_range);
    EXPECT_THROW(sim.SetBit(3, 'A', 0x008, true), std::out_of_range);
    EXPECT_THROW(sim.SetBit(3, 'W', 0, true), std::out_of_range);
    EXPECT_THROW(sim.ScriptFault(4, {FaultKind::Silent}, 1), std::out_of_range);
    EXPECT_THROW(plcsim::Simulator(StationsOptions({256})), std::invalid_argument);
    EXPECT_FALSE(sim.Running());
    sim.Stop();  // never started
}

// --- the program ------------------------------------------------------------

std::string ProgramPath()
{
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? n : 0);
    return path.substr(0, path.rfind('/') + 1) + "plcsim";
}

struct Child {
    pid_t pid = -1;
    int out = -1;  // its standard output
};

Child Spawn(const std::vector<std::string>& args)
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        std::vector<char*> argv;
        const std::string program = ProgramPath();
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    return {pid, pipeFds[0]};
}

int ExitCode(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(PlcsimProgram, ServesAPtyUntilSigterm)
{
    Child child =
        Spawn({"--pty", "--stations", "1,2", "--set", "2:W0010=BEEF", "--fault", "1:nak", "--set", "2:A1F,7=1", "-v"});
    ASSERT_GT(child.pid, 0);
    Port out(child.out);
    std::string firstLine;
    while (firstLine.empty() || firstLine.back() != '\n') {
        const std::string more = out.Read(1, milliseconds(5000));
        if (more.empty())
            break;
        firstLine += more;
    }
    ASSERT_FALSE(firstLine.empty());
    const std::string path = firstLine.substr(0, firstLine.size() - 1);
    Port port(path);
    ASSERT_TRUE(port.IsOpen()) << path;

    port.Send(ReadOf(2));
    EXPECT_EQ(port.Read(17, milliseconds(5000)), Framed("A02RWBEEF0000"));
    port.Send(Framed("02RA1F,701"));
    EXPECT_EQ(port.Read(10, milliseconds(5000)), Framed("A02RA1"));
    port.Send(ReadOf(1));
    EXPECT_EQ(port.Read(17, milliseconds(5000)).substr(0, 4), "/N01");

    kill(child.pid, SIGTERM);
    const std::string trace = out.ReadQuiet(milliseconds(2000));
    EXPECT_EQ(ExitCode(child.pid), 0);
    EXPECT_NE(trace.find(" rx 02 " + plcsim::Printable(ReadOf(2))), std::string::npos) << trace;
    EXPECT_NE(trace.find(" tx 01 /N01RW"), std::string::npos) << trace;
    EXPECT_NE(trace.find("[nak]"), std::string::npos) << trace;
}

TEST(PlcsimProgram, HelpNamesEveryOptionAndBadOptionsFail)
{
    Child help = Spawn({"--help"});
    Port out(help.out);
    const std::string text = out.ReadQuiet(milliseconds(3000));
    EXPECT_EQ(ExitCode(help.pid), 0);
    for (const char* option : {"--pty", "--device", "--link", "--baud", "--format", "--pace", "--stations", "--set",
                               "--fault", "--script", "--seed", "--verbose", "--version", "--help"}) {
        EXPECT_NE(text.find(option), std::string::npos) << option;
    }
    Child version = Spawn({"--version"});
    Port versionOut(version.out);
    EXPECT_EQ(versionOut.ReadQuiet(milliseconds(3000)), "plcsim " + std::string(kiv::VERSION) + "\n");
    EXPECT_EQ(ExitCode(version.pid), 0);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--bogus"}, {"--fault", "1:bogus"}, {"--set", "3:W0010=1"}, {"--format", "9Z9"}, {"--baud"}}) {
        Child bad = Spawn(args);
        close(bad.out);
        EXPECT_EQ(ExitCode(bad.pid), 2) << args[0];
    }
}

}  // namespace
