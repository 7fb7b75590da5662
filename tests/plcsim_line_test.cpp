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

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "common/tty_line_posix.h"
#include "davodev_version.h"
#include "sim/pcon_station.h"
#include "sim/plc_simulator.h"
#include "tests/framed.h"
#include "tests/plcsim_process.h"
#include "tests/wait_until.h"

namespace {

using Clock = std::chrono::steady_clock;
using plcsim::Fault;
using plcsim::FaultKind;
using std::chrono::milliseconds;
using namespace plcsim_test;

std::string ReadOf(int station)
{
    return Framed(plcsim::Hex(station, 2) + "RW001002");
}

long Millis(Clock::duration d)
{
    return std::chrono::duration_cast<milliseconds>(d).count();
}

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

// A late reply does not deafen the line: the request to station 2, sent
// right after station 1's, is heard and answered on time. Replies never
// interleave: one that falls due while another is going out (through its
// pauses too) follows it whole.
TEST(PlcsimLine, ALateReplyLetsTheOtherStationsAnswer)
{
    struct Row {
        const char* name;
        bool pace;
        Fault first;                  // station 1's
        std::optional<Fault> second;  // station 2's
        long secondWithinMs;          // station 2's whole reply by then
        long firstNotBeforeMs;        // station 1's reply complete no sooner
    };
    const std::vector<Row> table = {
        {"delayed", false, {FaultKind::Delay, 1.0, 1500}, std::nullopt, 1000, 1400},
        {"delayed on a paced line", true, {FaultKind::Delay, 1.0, 1500}, std::nullopt, 1000, 1400},
        {"due during the other's pause",
         false,
         {FaultKind::Delay, 1.0, 100},
         Fault{FaultKind::Split, 1.0, 2, 400},
         3000,
         380},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        plcsim::Options options = StationsOptions({1, 2});
        options.pace = row.pace;
        plcsim::Simulator sim(options);
        sim.StartPty();
        sim.SetFault(1, row.first);
        if (row.second)
            sim.SetFault(2, *row.second);
        Port port(sim.SlavePath());
        const auto start = Clock::now();
        port.Send(ReadOf(1));
        port.Send(ReadOf(2));
        EXPECT_EQ(port.Read(17, milliseconds(row.secondWithinMs)), Framed("A02RW00000000"));
        EXPECT_EQ(port.Read(17, milliseconds(5000)), Framed("A01RW00000000"));
        EXPECT_GE(Millis(Clock::now() - start), row.firstNotBeforeMs);
        ASSERT_TRUE(sim.WaitForRequests(2, milliseconds(5000)));
        for (const auto& record : sim.Records())
            EXPECT_EQ(record.note, "") << record.bytes;
    }
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
    sim->SetFault(1, {FaultKind::Delay, 1.0, 120000});
    Port port(sim->SlavePath());
    port.Send(ReadOf(1));
    ASSERT_TRUE(WaitUntil([&] { return !sim->Records().empty(); }));

    const auto start = Clock::now();
    sim->Stop();
    EXPECT_LT(Millis(Clock::now() - start), 30000);  // not the two minutes of the delay
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
    // The idle time is what is measured: the processor time it costs.
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

// The line is set up by the driver's own translation: the character format
// in the driver's codes, a rate termios names kept as its code, any other
// served all the same, the stop bits on the terminal; a pseudo-terminal
// carries 8 data bits and no parity whatever is asked.
TEST(PlcsimLine, LineIsSetUpByTheDriversRules)
{
    struct Row {
        int baud;
        const char* format;
        uint16_t parity;    // the driver's codes
        uint16_t stopBits;  // 0 one, 1 one and a half, 2 two
        bool named;         // termios has a code for the rate
        speed_t code;
    };
    const std::vector<Row> table = {
        {9600, "8N1", 0, 0, true, B9600},       {19200, "7E1", 2, 0, true, B19200},
        {57600, "8O2", 1, 2, true, B57600},     {115200, "8M1.5", 3, 1, true, B115200},
        {4000000, "5S2", 4, 2, true, B4000000}, {14400, "8N1", 0, 0, false, 0},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(std::to_string(row.baud) + " " + row.format);
        plcsim::Options options;
        options.baud = row.baud;
        options.format = *plcsim::ParseCharFormat(row.format);
        const kivhost::TtyLine line = kivhost::TtyLineOf(row.baud, options.format);
        EXPECT_EQ(line.parity, row.parity);
        EXPECT_EQ(line.stopBits, row.stopBits);
        EXPECT_EQ(kivhost::NamedRate(row.baud), row.named);

        plcsim::Simulator sim(options);
        sim.StartPty();
        const int fd = open(sim.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        termios settings{};
        ASSERT_EQ(tcgetattr(fd, &settings), 0);
        close(fd);
        EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB), static_cast<tcflag_t>(CS8));
        EXPECT_EQ((settings.c_cflag & CSTOPB) != 0, row.stopBits != 0);
        EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
        if (row.named) {
            EXPECT_EQ(cfgetospeed(&settings), row.code);
        }
        Port port(sim.SlavePath());
        EXPECT_EQ(Exchange(sim, port, ReadOf(1)), Framed("A01RW00000000"));
    }
}

// A link replaces only a dangling symbolic link (or nothing); anything else,
// a link to something that exists too, is left alone and refused, and a
// failed start leaves nothing behind.
TEST(PlcsimLine, LinkReplacesOnlyASymbolicLink)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string terminal = ptsname(master);
    struct Row {
        const char* name;
        std::function<void(const std::string&)> prepare;  // makes what is at the link's path
        bool starts;
    };
    const auto file = [](const std::string& path) { std::ofstream(path) << "keep me\n"; };
    const std::vector<Row> table = {
        {"nothing there", [](auto&) {}, true},
        {"a dangling link", [](auto& path) { ASSERT_EQ(symlink("/nonexistent", path.c_str()), 0); }, true},
        {"a link to a file",
         [&](auto& path) {
             file(path + ".target");
             ASSERT_EQ(symlink((path + ".target").c_str(), path.c_str()), 0);
         },
         false},
        {"a link to someone's terminal", [&](auto& path) { ASSERT_EQ(symlink(terminal.c_str(), path.c_str()), 0); },
         false},
        {"a regular file", file, false},
        {"a directory", [](auto& path) { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); }, false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const std::string link = dir / "plc1";
        row.prepare(link);
        const auto before = dir.Names();
        struct stat was {};
        lstat(link.c_str(), &was);
        plcsim::Options options;
        options.link = link;
        plcsim::Simulator sim(options);
        EXPECT_EQ(plcsim::LinkRefusal(link).empty(), row.starts) << plcsim::LinkRefusal(link);
        if (!row.starts) {
            EXPECT_THROW(sim.StartPty(), std::system_error);
            EXPECT_EQ(dir.Names(), before);
            struct stat info {};
            ASSERT_EQ(lstat(link.c_str(), &info), 0);
            EXPECT_EQ(info.st_ino, was.st_ino) << "left as it was";
            continue;
        }
        sim.StartPty();
        EXPECT_EQ(LinkTarget(link), sim.SlavePath());
        Port port(link);
        EXPECT_EQ(Exchange(sim, port, ReadOf(1)), Framed("A01RW00000000"));
        sim.Stop();
        auto left = before;
        std::erase(left, "plc1");
        EXPECT_EQ(dir.Names(), left) << "the link is removed on stop, and only it";
    }

    // A start that fails after the link was made takes it away again: here
    // the mirror's path is refused, and there is no device.
    TempDir dir;
    std::ofstream(dir / "file") << "keep me\n";
    plcsim::Options options;
    options.link = dir / "plc1";
    options.mirror = dir / "file";
    plcsim::Simulator mirrored(options);
    EXPECT_THROW(mirrored.StartPty(), std::system_error);
    options.mirror = dir / "tap";
    plcsim::Simulator noDevice(options);
    EXPECT_THROW(noDevice.StartDevice(dir / "ttyNONE"), std::system_error);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"file"});
    close(master);
}

// The mirror carries both directions in order; a reader that stalls loses
// bytes (counted) but never holds the line up, and one that is absent gets
// nothing queued for later.
TEST(PlcsimLine, MirrorShowsTheLineAndNeverHoldsItUp)
{
    TempDir dir;
    plcsim::Options options;
    options.mirror = dir / "tap";
    plcsim::Simulator sim(options);
    sim.StartPty();
    sim.SetWord(1, 0x10, 0x1234);
    EXPECT_EQ(LinkTarget(dir / "tap"), sim.MirrorPath());
    Port port(sim.SlavePath());
    auto tap = std::make_unique<Port>(dir / "tap");
    ASSERT_TRUE(tap->IsOpen());

    const std::string request = "/01RW0010022D\r";
    const std::string reply = "/A01RW12340000D5\r";
    EXPECT_EQ(Exchange(sim, port, "#" + request), reply);
    EXPECT_EQ(tap->ReadQuiet(milliseconds(50)), "#" + request + reply);

    // Writes of 255 words: about 1 KB each way to the tap, far more than a
    // pseudo-terminal holds for a reader that does not read.
    std::string words;
    for (int i = 0; i < 255; ++i)
        words += "BEEF";
    const std::string longWrite = Framed("01SW0100FF" + words);
    const uint64_t before = sim.RequestCount();
    for (int i = 0; i < 40; ++i)
        port.Send(longWrite);
    ASSERT_TRUE(sim.WaitForRequests(before + 40, milliseconds(10000)));
    std::string replies;
    for (int i = 0; i < 40; ++i)
        replies += Framed("A01SW");
    EXPECT_EQ(port.ReadQuiet(milliseconds(20)), replies);
    const uint64_t dropped = sim.MirrorDropped();
    EXPECT_GT(dropped, 0u);

    tap.reset();  // nobody listens: nothing is dropped, nothing kept
    Exchange(sim, port, longWrite);
    EXPECT_EQ(sim.MirrorDropped(), dropped);
    tap = std::make_unique<Port>(dir / "tap");
    EXPECT_EQ(Exchange(sim, port, request), reply);
    const std::string fresh = tap->ReadQuiet(milliseconds(50));
    EXPECT_EQ(fresh.substr(0, 40), (request + reply).substr(0, 40)) << fresh.size() << " bytes";
    EXPECT_EQ(fresh.size(), request.size() + reply.size());

    sim.Stop();
    EXPECT_EQ(dir.Names(), std::vector<std::string>{});
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

TEST(PlcsimProgram, ServesAPtyUntilSigterm)
{
    TempDir dir;
    // Station 10 is 0x0A on the line; W values are decimal or 0x.
    Child child = Spawn({"--pty", "--stations", "1,0x02,10", "--set", "2:W0010=0xBEEF", "--fault", "1:nak", "--set",
                         "2:A1F,7=1", "--set", "10:W0010=4660", "--set", "10:a01f6=1", "--mirror", dir / "tap", "-v"});
    ASSERT_GT(child.pid, 0);
    Port out(child.out);
    Port err(child.err);
    const std::string path = ReadLine(out);
    ASSERT_FALSE(path.empty()) << err.ReadQuiet(milliseconds(100));
    EXPECT_EQ(ReadLine(out), LinkTarget(dir / "tap"));
    Port port(path);
    ASSERT_TRUE(port.IsOpen()) << path;

    port.Send(ReadOf(2));
    EXPECT_EQ(port.Read(17, milliseconds(5000)), Framed("A02RWBEEF0000"));
    port.Send(Framed("02RA1F,701"));
    EXPECT_EQ(port.Read(10, milliseconds(5000)), Framed("A02RA1"));
    port.Send(ReadOf(10));
    EXPECT_EQ(port.Read(17, milliseconds(5000)), Framed("A0ARW12340000"));
    port.Send(Framed("0ARA1F,602"));
    EXPECT_EQ(port.Read(11, milliseconds(5000)), Framed("A0ARA10"));
    port.Send(ReadOf(1));
    EXPECT_EQ(port.Read(17, milliseconds(5000)).substr(0, 4), "/N01");

    kill(child.pid, SIGTERM);
    const std::string trace = out.ReadQuiet(milliseconds(2000));
    EXPECT_EQ(ExitCode(child.pid), 0);
    EXPECT_NE(trace.find(" rx 02 " + plcsim::Printable(ReadOf(2))), std::string::npos) << trace;
    EXPECT_NE(trace.find(" tx 01 /N01RW"), std::string::npos) << trace;
    EXPECT_NE(trace.find("[nak]"), std::string::npos) << trace;
    EXPECT_EQ(dir.Names(), std::vector<std::string>{}) << "the mirror's link is removed on exit";
}

TEST(PlcsimProgram, HelpAndVersion)
{
    Child help = Spawn({"--help"});
    Port out(help.out);
    const std::string text = out.ReadQuiet(milliseconds(3000));
    EXPECT_EQ(ExitCode(help.pid), 0);
    for (const char* option : {"Usage: plcsim", "--pty",      "--device",    "--link",   "--mirror",
                               "--baud",        "--format",   "--data-bits", "--parity", "--stop-bits",
                               "--pace",        "--stations", "--set",       "--fault",  "--script",
                               "--seed",        "--verbose",  "--version",   "--help",   "0A: write 10 or 0x0A",
                               "drop=P@Q"}) {
        EXPECT_NE(text.find(option), std::string::npos) << option;
    }
    Child version = Spawn({"--version"});
    Port versionOut(version.out);
    EXPECT_EQ(versionOut.ReadQuiet(milliseconds(3000)), "plcsim " + std::string(kiv::VERSION) + "\n");
    EXPECT_EQ(ExitCode(version.pid), 0);
}

// Every value of the command line is read by one set of rules (decimal, or
// hex with 0x; stations 1 to 32, the ambiguous tag form refused), and
// everything is checked before the line is served: a refusal exits 64 with
// one line naming the argument and what to write instead.
TEST(PlcsimProgram, CommandLinesAreCheckedBeforeTheLine)
{
    TempDir dir;
    std::ofstream(dir / "file") << "keep me\n";
    ASSERT_EQ(mkdir((dir / "folder").c_str(), 0700), 0);
    struct Row {
        std::vector<std::string> args;
        int exitCode;
        std::string message;  // a part of standard error
    };
    const std::vector<Row> table = {
        {{"--stations", "10,0x0B,32"}, 0, ""},
        {{"--stations", "0A"}, 64, "--stations 0A: ambiguous station 0A: write 10 or 0x0A"},
        {{"--stations", "1,1f"}, 64, "ambiguous station 1f: write 31 or 0x1f"},
        {{"--stations", "33"}, 64, "station 33 is outside 1 to 32"},
        {{"--stations", "0x21"}, 64, "station 0x21 is outside 1 to 32"},
        {{"--stations", "0"}, 64, "station 0 is outside 1 to 32"},
        {{"--stations", "1,"}, 64, "station \"\" is not a number"},
        {{"--stations", "1,1"}, 64, "--stations 1,1: station 1 is listed twice"},
        {{"--stations", "2,3,0x02"}, 64, "--stations 2,3,0x02: station 2 is listed twice"},
        {{"--set", "0A:W0010=1"}, 64, "--set 0A:W0010=1: ambiguous station 0A: write 10 or 0x0A"},
        {{"--set", "2:W0010=1"}, 64, "station 2 is not on the line"},
        {{"--set", "1:W0010=BEEF"}, 64, "BEEF is not a decimal number; hex needs 0x: 0xBEEF"},
        {{"--set", "1:W0010=65536"}, 64, "65536 is outside 0 to 65535"},
        {{"--set", "1:W10=1"}, 64, "4 hex digits, as in a tag"},
        {{"--set", "1:A0208=1"}, 64, "no such bit"},
        {{"--set", "1:B0100=2"}, 64, "a bit is 0 or 1"},
        {{"--fault", "0x01:drop=1@0.5", "--script", "1:wrong=0x0A:2"}, 0, ""},
        {{"--fault", "1:bogus"}, 64, "--fault 1:bogus: no fault named \"bogus\""},
        {{"--fault", "1:wrong=0B"}, 64, "ambiguous station 0B: write 11 or 0x0B"},
        {{"--script", "1:silent:0"}, 64, "0 is outside 1 to"},
        {{"--format", "7E1", "--baud", "0x4B00", "--data-bits", "7", "--parity", "e", "--stop-bits", "1"}, 0, ""},
        {{"--format", "9Z9"}, 64, "--format 9Z9: give data bits 5 to 8"},
        {{"--data-bits", "9"}, 64, "--data-bits 9: data bits are 5 to 8"},
        {{"--format", "8N1", "--parity", "even"}, 64, "--format 8N1 and --parity even disagree"},
        {{"--parity", "x"}, 64, "use none, odd, even, mark or space"},
        {{"--stop-bits", "3"}, 64, "use 1, 1.5 or 2"},
        {{"--baud", "14400"}, 64, "--baud 14400: not a rate"},
        {{"--baud"}, 64, "--baud"},
        {{"--bogus"}, 64, "--bogus"},
        {{"--pty", "--device", "/dev/null"}, 64, "a line is one or the other"},
        {{"--link", dir / "file"}, 64, "is a regular file, not a symbolic link"},
        {{"--link", dir / "folder"}, 64, "is a directory, not a symbolic link"},
        {{"--mirror", dir / "file"}, 64, "is a regular file, not a symbolic link"},
        {{"--link", dir / "none/plc1"}, 64, "does not exist"},
        {{"--link", dir / "tap", "--mirror", dir / "tap"}, 64, "need a link each"},
        {{"--device", dir / "ttyNONE", "--link", dir / "plc1"}, 2, "No such file or directory"},
    };
    for (const auto& row : table) {
        std::string line;
        for (const auto& arg : row.args)
            line += arg + " ";
        SCOPED_TRACE(line);
        Child child = Spawn(row.args);
        ASSERT_GT(child.pid, 0);
        Port out(child.out);
        Port err(child.err);
        if (row.exitCode == 0) {
            EXPECT_FALSE(ReadLine(out).empty()) << err.ReadQuiet(milliseconds(100));
            kill(child.pid, SIGTERM);
        }
        const std::string error = err.ReadQuiet(milliseconds(3000));
        EXPECT_EQ(ExitCode(child.pid), row.exitCode) << error;
        if (row.exitCode == 0) {
            EXPECT_EQ(error, "");
            continue;
        }
        // One line says what is wrong, after any notes.
        const size_t last = error.rfind('\n', error.size() - 2) + 1;
        EXPECT_EQ(error.substr(last, 8), "plcsim: ") << error;
        EXPECT_NE(error.find(row.message, last), std::string::npos) << error;
        EXPECT_EQ(error.substr(0, last).find("plcsim: note: "), last == 0 ? std::string::npos : 0) << error;
    }
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"file", "folder"})) << "nothing made, nothing removed";
}

}  // namespace
