// Section 7: the driver against a peer a user could pick instead, a
// libmodbus RTU master, on the same kind of line: a short request, a short
// reply, the same response time-out. Both read 2 words from a responder that
// answers at once, interleaved in rounds as in section 1.
//
// libmodbus is a build dependency of the benchmark alone; built without it,
// the section says so and measures nothing.
#include <string>

#include "bench/report.h"
#include "bench/section.h"

#ifdef KIVBENCH_WITH_LIBMODBUS

#include <modbus.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "bench/bench_line.h"
#include "bench/exchange_kinds.h"
#include "bench/rounds.h"
#include "bench/thread_times.h"
#include "serial/serial_port.h"

#endif

namespace kivbench {

namespace {

const char* const TITLE = "7. A peer on the same line: a libmodbus RTU master (pty, responder answers at once)";

#ifdef KIVBENCH_WITH_LIBMODBUS

constexpr int SLAVE = 1;
constexpr int REGISTER = 0x10;  // the driver reads word 0x10 too
constexpr int WORDS = 2;
// The driver's ColdStart takes 100 units of 10 ms.
constexpr unsigned TIMEOUT_UNITS = 100;

// An RTU frame: the bytes and their CRC, low byte first.
std::string RtuFrame(std::vector<uint8_t> bytes)
{
    const uint16_t crc = kiv::Crc16(bytes.data(), static_cast<uint32_t>(bytes.size()));
    bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
    bytes.push_back(static_cast<uint8_t>(crc >> 8));
    return std::string(bytes.begin(), bytes.end());
}

// Read holding registers 0x10 and 0x11 of station 1, and the station's answer
// with the values the driver's responder sends, 0x1234 and 0x1335.
std::string ModbusRequest()
{
    return RtuFrame({SLAVE, 0x03, 0x00, REGISTER, 0x00, WORDS});
}

std::string ModbusReply()
{
    return RtuFrame({SLAVE, 0x03, 2 * WORDS, 0x12, 0x34, 0x13, 0x35});
}

// A libmodbus RTU master on a pseudo-terminal, as its documentation sets one
// up: 9600 baud 8N1 (the pseudo-terminal ignores the speed, as it does the
// driver's), station 1, the driver's response time-out.
class ModbusMaster {
public:
    explicit ModbusMaster(const std::string& slavePath)
    {
        context_ = modbus_new_rtu(slavePath.c_str(), 9600, 'N', 8, 1);
        Require(context_ != nullptr, "libmodbus: modbus_new_rtu failed");
        const unsigned ms = TIMEOUT_UNITS * 10;
        Require(modbus_set_slave(context_, SLAVE) == 0 &&
                    modbus_set_response_timeout(context_, ms / 1000, (ms % 1000) * 1000) == 0,
                "libmodbus: cannot set the station or the time-out");
        Require(modbus_connect(context_) == 0,
                std::string("libmodbus: cannot open the pty: ") + modbus_strerror(errno));
        open_ = true;
    }
    ~ModbusMaster()
    {
        Close();
        modbus_free(context_);
    }
    ModbusMaster(const ModbusMaster&) = delete;
    ModbusMaster& operator=(const ModbusMaster&) = delete;

    bool Exchange() { return modbus_read_registers(context_, REGISTER, WORDS, values) == WORDS; }
    void Close()
    {
        if (open_)
            modbus_close(context_);
        open_ = false;
    }

    uint16_t values[WORDS] = {};

private:
    modbus_t* context_ = nullptr;
    bool open_ = false;
};

// The driver's 2-word BlockRead and the libmodbus master on one responder,
// warmed up and checked: both decode the same two values.
class PeerLine {
public:
    explicit PeerLine(int warmUp)
        : kind_(Kinds()[0]),
          station_({{kind_.reply}, {ModbusReply(), ModbusRequest().size()}}),  // line 0 the driver's, 1 libmodbus's
          driver_(kind_),
          peer_(station_.Line(1).SlavePath())
    {
        Require(driver_.channel.ColdStart(station_.Line(0).PortName(), TIMEOUT_UNITS) == SUCCESS,
                "ColdStart on a pty failed");
        station_.Start();
        for (int i = 0; i < warmUp; ++i) {
            Require(DriverExchange(), "the driver's exchange failed");
            Require(PeerExchange(), std::string("libmodbus: the exchange failed: ") + modbus_strerror(errno));
        }
        Require(driver_.io.values[0] == 0x1234 && driver_.io.values[1] == 0x1335, "driver: values not decoded");
        Require(peer_.values[0] == 0x1234 && peer_.values[1] == 0x1335, "libmodbus: values not decoded");
    }
    ~PeerLine()
    {
        driver_.channel.CloseCom();
        peer_.Close();
        station_.Join();
    }
    PeerLine(const PeerLine&) = delete;
    PeerLine& operator=(const PeerLine&) = delete;

    bool DriverExchange() { return driver_.Exchange(); }
    bool PeerExchange() { return peer_.Exchange(); }

private:
    const ExchangeKind kind_;
    Responder station_;
    DriverSide driver_;
    ModbusMaster peer_;
};

struct PeerResult {
    uint64_t exchanges = 0;  // each side
    double driverSeconds = 0;
    double peerSeconds = 0;
    ThreadTimes driverCpu;
    ThreadTimes peerCpu;
    uint64_t failures = 0;
    std::vector<double> roundRatios;  // driver rate / libmodbus rate, round by round
};

PeerResult MeasurePeer(int rounds, int perRound, int warmUp)
{
    PeerResult result;
    PeerLine line(warmUp);
    const auto timed = [&](auto exchange, double& seconds, ThreadTimes& cpu) {
        const ThreadTimes cpuStart = Now();
        const auto start = Clock::now();
        for (int i = 0; i < perRound; ++i)
            result.failures += !exchange();
        const double round = Seconds(Clock::now() - start);
        seconds += round;
        cpu += Now() - cpuStart;
        return round;
    };
    result.roundRatios = InterleavedRounds(
        rounds, [&] { return timed([&] { return line.DriverExchange(); }, result.driverSeconds, result.driverCpu); },
        [&] { return timed([&] { return line.PeerExchange(); }, result.peerSeconds, result.peerCpu); });
    result.exchanges = static_cast<uint64_t>(rounds) * static_cast<uint64_t>(perRound);
    return result;
}

void RunPeerSection(BenchRun& run)
{
    // As section 1's 2-word read: 40 rounds of 1000 exchanges a side.
    const int rounds = run.quick ? 6 : 40;
    const int perRound = run.quick ? 100 : 1000;
    const int warmUp = run.quick ? 20 : 200;
    const PeerResult r = MeasurePeer(rounds, perRound, warmUp);

    const ExchangeKind kind = Kinds()[0];
    const double n = static_cast<double>(r.exchanges);
    const double driverRate = n / r.driverSeconds;
    const double peerRate = n / r.peerSeconds;
    const double ratio = Median(r.roundRatios);
    PrintHeading(TITLE);
    Table table({"exchange", "bytes out/in, driver; libmodbus", "driver exch/s", "libmodbus exch/s",
                 "driver/libmodbus, all rounds", "driver/libmodbus, median round", "driver user+sys",
                 "libmodbus user+sys", "target", "result"});
    table.Row({"read of 2 words",
               Format("%zu/%zu; %zu/%zu", kind.request.size(), kind.reply.size(), ModbusRequest().size(),
                      ModbusReply().size()),
               Grouped(driverRate), Grouped(peerRate), Format("%.3f", driverRate / peerRate), Format("%.3f", ratio),
               Us(r.driverCpu.Total() / n) + " µs", Us(r.peerCpu.Total() / n) + " µs", "median ≥ 1.00",
               Verdict(ratio >= 1.00 && r.failures == 0, "rate against libmodbus") + Failed(r.failures)});
    table.Print();
}

void CountPeerSide(int exchanges)
{
    PeerLine line(200);
    for (int i = 0; i < exchanges; ++i)
        Require(line.PeerExchange(), "libmodbus: the exchange failed");
}

const SideRegistration LIBMODBUS_READ2({"libmodbus-read2", CountPeerSide});

#else

void RunPeerSection(BenchRun&)
{
    PrintHeading(TITLE);
    PrintParagraph("Skipped: kivbench was built without libmodbus (pkg-config found no libmodbus when it was "
                   "configured; Debian: libmodbus-dev).");
}

#endif

const SectionRegistration PEER_SECTION({7, "7 (libmodbus)", RunPeerSection});

}  // namespace

}  // namespace kivbench
