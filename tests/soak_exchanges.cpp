// Soak: mixed reads and writes through KivMain against simulated stations 1,
// 2 and 5 on one pseudo-terminal, with every fault of the simulator mixed in
// at random under a seed, and the invariants checked on every exchange:
//   - a read that returns SUCCESS holds exactly the station's memory, unless
//     a fault that can damage data without the driver seeing it hit it (a
//     corrupted character, or a truncated reply that other bytes could fill
//     up: the protocol's replies carry no checksum the driver checks);
//     those are counted apart;
//   - a read that fails leaves every value untouched, and so does any write;
//   - a write that returns SUCCESS is in the station's memory; any write
//     lands whole or not at all;
//   - nothing succeeds for a station that is not on the line; four attempts
//     each met by a failing fault (silent, lost, not acknowledged, cut short,
//     noise, or for a read another station) fail; replies that all arrive
//     whole and in time succeed;
//   - no exchange makes more than four attempts, a failed one makes exactly
//     four, the line carries exactly one frame per attempt logged, the
//     IoBlock is never written, and no exchange takes longer than its
//     attempts' time-outs allow.
// Each exchange's faults are scripted for its own requests only, so which
// fault hit which exchange is known; afterwards the soak waits until the
// simulator has answered every request of it, so a late reply is never
// taken for the next exchange's.
//
// Short run (ctest):  soak_exchanges --exchanges 3000 --seed 1 --fault-rate 0.15
// Long run (about 25 minutes on two cores):
//   cmake -S . -B build-rel && cmake --build build-rel --target soak_exchanges
//   build-rel/bin/soak_exchanges --exchanges 50000 --seed 7
// Options: --exchanges N, --seed S, --timeout UNITS (10 ms each, default 5),
// --fault-rate P (share of exchanges with a fault, default 0.35).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/driver_fixture.h"

namespace {

using plcsim::Fault;
using plcsim::FaultKind;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr int STATIONS[] = {1, 2, 5};
constexpr int ABSENT_STATION = 7;
constexpr int BAUD = 19200;
constexpr int WINDOW = 0x400;  // W and B numbers the soak uses, so reads meet writes
constexpr int BYTE_BIT_RUN = 256;
constexpr uint16_t FILL = 0xD00D;

struct Options {
    long exchanges = 3000;
    uint32_t seed = 1;
    uint32_t timeoutUnits = 5;
    double faultRate = 0.35;
};

// Every "bytes will be send" log line is one attempt.
long attempts = 0;

void CountAttempts(int32_t, const char* text, void*)
{
    if (std::strstr(text, "bytes will be send") != nullptr)
        ++attempts;
}

struct Scripted {
    Fault fault;
    int requests;
};

// What one exchange asks for and which faults it meets.
struct Exchange {
    bool read = true;
    uint32_t code = CMD_BLOCK_READ;
    int station = 1;
    char operand = 'W';
    int number = 0;  // tag form: A and E are byte << 4 | bit
    int runIndex = 0;
    int count = 1;
    int bit = NO_BIT;
    std::vector<Scripted> faults;
};

const char* const OUTCOMES[] = {"read ok", "read damaged", "read failed", "write ok", "write failed", "rejected"};
enum Outcome { READ_OK, READ_DAMAGED, READ_FAILED, WRITE_OK, WRITE_FAILED, REJECTED_OUTCOME, OUTCOME_COUNT };

class Soak {
public:
    explicit Soak(const Options& options) : options_(options), rng_(options.seed), sim_(SimOptions(options)) {}

    int Run(FILE* report);

private:
    static plcsim::Options SimOptions(const Options& options)
    {
        plcsim::Options sim;
        sim.stations.assign(std::begin(STATIONS), std::end(STATIONS));
        sim.seed = options.seed;
        sim.baud = BAUD;
        sim.maxRecords = 256;
        return sim;
    }

    int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
    bool Chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < p; }

    void FillMemory();
    Exchange Choose();
    Fault ChooseFault(FaultKind kind, const Exchange& x);
    size_t ReplyLength(const Exchange& x) const;
    std::vector<uint16_t> Memory(const Exchange& x) const;
    void Check(const Exchange& x, int32_t result, const HostIo& host, const std::vector<uint16_t>& before,
               const std::vector<uint16_t>& sent, long tries, Ms elapsed);
    Ms Allowed(const Exchange& x, long tries) const;
    std::string Label(const Exchange& x) const;
    void Violation(const Exchange& x, const std::string& what);

    Options options_;
    std::mt19937 rng_;
    plcsim::Simulator sim_;
    HostChannel channel_;
    long exchangeNumber_ = 0;
    std::map<std::string, std::array<long, OUTCOME_COUNT>> counts_;
    std::array<long, 5> attemptCounts_{};
    long violations_ = 0;
    long cleanRetries_ = 0;  // exchanges without a fault that still needed a retry (a slow machine)
    FILE* report_ = nullptr;
    double worstShareOfAllowance_ = 0;
};

void Soak::FillMemory()
{
    for (int station : STATIONS) {
        for (int i = 0; i < WINDOW; ++i) {
            sim_.SetWord(station, i, static_cast<uint16_t>(rng_()));
            sim_.SetBit(station, 'B', i, rng_() & 1);
        }
        for (int i = 0; i < BYTE_BIT_RUN; ++i) {
            const int number = (i / 8) << 4 | (i % 8);
            sim_.SetBit(station, 'A', number, rng_() & 1);
            sim_.SetBit(station, 'E', number, rng_() & 1);
        }
    }
}

Exchange Soak::Choose()
{
    Exchange x;
    x.station = Chance(0.005) ? ABSENT_STATION : STATIONS[Uniform(0, 2)];
    x.read = Chance(0.5);
    const int operandDraw = Uniform(0, 99);
    x.operand = operandDraw < 40 ? 'W' : operandDraw < 65 ? 'B' : operandDraw < 85 ? 'A' : 'E';

    const int countDraw = Uniform(0, 99);
    x.count = countDraw < 2 ? 0 : countDraw < 70 ? Uniform(1, 8) : countDraw < 92 ? Uniform(9, 64) : Uniform(65, 255);
    if (x.operand == 'W' && Chance(0.15)) {
        x.count = 1;
        x.bit = Uniform(0, 15);
    }

    if (x.operand == 'A' || x.operand == 'E') {
        x.count = std::min(x.count, BYTE_BIT_RUN);
        x.runIndex = Uniform(0, BYTE_BIT_RUN - std::max(x.count, 1));
        x.number = (x.runIndex / 8) << 4 | (x.runIndex % 8);
    } else {
        x.number = Uniform(0, WINDOW - std::max(x.count, 1));
        x.runIndex = x.number;
    }

    if (x.read)
        x.code = (x.count == 1 && !Chance(0.2)) || x.bit != NO_BIT ? CMD_SINGLE_READ : CMD_BLOCK_READ;
    else
        x.code = (x.count == 1 && !Chance(0.2)) || x.bit != NO_BIT ? CMD_SINGLE_WRITE : CMD_BLOCK_WRITE;

    if (Chance(options_.faultRate)) {
        const int kinds = static_cast<int>(FaultKind::Pace) + 1;
        const FaultKind first = static_cast<FaultKind>(Uniform(0, kinds - 1));
        const int draw = Uniform(0, 99);
        const int requests = draw < 60 ? 1 : draw < 85 ? Uniform(2, 3) : 4;
        x.faults.push_back({ChooseFault(first, x), requests});
        // Now and then a second fault for the attempts after the first's.
        if (requests < 4 && Chance(0.08)) {
            FaultKind second = static_cast<FaultKind>(Uniform(0, kinds - 1));
            if (second == first)
                second = static_cast<FaultKind>((static_cast<int>(first) + 1) % kinds);
            x.faults.push_back({ChooseFault(second, x), Uniform(1, 4 - requests)});
        }
    }
    return x;
}

size_t Soak::ReplyLength(const Exchange& x) const
{
    if (!x.read)
        return 9;
    return 9 + static_cast<size_t>(x.count) * (x.operand == 'W' ? 4 : 1);
}

Fault Soak::ChooseFault(FaultKind kind, const Exchange& x)
{
    const int timeoutMs = static_cast<int>(options_.timeoutUnits) * 10;
    Fault fault;
    fault.kind = kind;
    fault.probability = 1.0;
    switch (kind) {
    case FaultKind::WrongStation: {
        int other = Uniform(1, 32);
        if (other == x.station)
            other = other % 32 + 1;
        fault.value = Chance(0.5) ? 0 : other;
        break;
    }
    case FaultKind::Nak: {
        int code = Uniform(0x21, 0x7E);
        if (code == 'A')
            code = 'N';
        fault.value = Chance(0.5) ? 0 : code;
        break;
    }
    case FaultKind::Truncate: fault.value = Uniform(1, static_cast<int>(ReplyLength(x)) - 1); break;
    case FaultKind::Extra: fault.value = Uniform(1, 40); break;
    case FaultKind::Noise: fault.value = Uniform(1, 10); break;
    case FaultKind::Delay:
        // Short ones should go unnoticed, long ones cost an attempt or more.
        fault.value = Chance(0.5) ? Uniform(1, std::max(1, timeoutMs / 3)) : Uniform(timeoutMs + 10, 3 * timeoutMs);
        break;
    case FaultKind::Split:
        fault.value = Uniform(2, 5);
        fault.pauseMs = Chance(0.5) ? Uniform(1, std::max(1, timeoutMs / 3)) : Uniform(timeoutMs + 10, 2 * timeoutMs);
        break;
    default: break;
    }
    return fault;
}

// The station's memory over the exchange's run, laid out as the host's values.
std::vector<uint16_t> Soak::Memory(const Exchange& x) const
{
    std::vector<uint16_t> out(static_cast<size_t>(x.count) + 16, 0);
    if (x.station == ABSENT_STATION)
        return out;
    for (int i = 0; i < x.count; ++i) {
        if (x.operand == 'W') {
            out[i] = sim_.Word(x.station, x.number + i);
        } else {
            const int index = x.runIndex + i;
            const int number = x.operand == 'B' ? index : (index / 8) << 4 | (index % 8);
            if (sim_.Bit(x.station, x.operand, number))
                out[i / 16] |= static_cast<uint16_t>(1u << (i % 16));
        }
    }
    return out;
}

bool Has(const Exchange& x, FaultKind kind)
{
    for (const Scripted& s : x.faults)
        if (s.fault.kind == kind)
            return true;
    return false;
}

// Faults under which a read may return SUCCESS with data the station does
// not hold: a damaged character, or a reply cut short and filled up by
// whatever follows it on the line (junk, or a reply that came late).
bool MayDamageData(const Exchange& x)
{
    if (Has(x, FaultKind::Corrupt))
        return true;
    return Has(x, FaultKind::Truncate) && (Has(x, FaultKind::Extra) || Has(x, FaultKind::Delay) ||
                                           Has(x, FaultKind::Split) || Has(x, FaultKind::Pace));
}

// A fault that makes every attempt it hits fail, whatever else happens.
bool FailsTheAttempt(const Exchange& x, const Fault& fault)
{
    switch (fault.kind) {
    case FaultKind::Silent:
    case FaultKind::Drop:
    case FaultKind::Nak:
    case FaultKind::Truncate:
    case FaultKind::Noise: return true;
    case FaultKind::WrongStation: return x.read;  // a write reply's station is not checked
    default: return false;
    }
}

// A fault after which the reply still arrives whole and in time.
bool Harmless(const Fault& fault, uint32_t timeoutUnits)
{
    const int third = static_cast<int>(timeoutUnits) * 10 / 3;
    switch (fault.kind) {
    case FaultKind::Extra:
    case FaultKind::Corrupt:
    case FaultKind::Pace: return true;
    case FaultKind::Delay: return fault.value <= third;
    case FaultKind::Split: return fault.pauseMs <= third;
    default: return false;
    }
}

std::string Soak::Label(const Exchange& x) const
{
    if (x.station == ABSENT_STATION)
        return "absent station";
    if (!x.read && x.operand == 'E')
        return "write to E";
    if (x.faults.empty())
        return "none";
    std::vector<std::string> names;
    for (const Scripted& s : x.faults)
        names.push_back(plcsim::FaultName(s.fault.kind));
    std::sort(names.begin(), names.end());
    std::string label = names[0];
    for (size_t i = 1; i < names.size(); ++i)
        label += "+" + names[i];
    return label;
}

// Each attempt: a flush that may wait 50 ms, two receptions of one time-out
// each, and slack for a busy machine; on top, the time the faults
// themselves hold the replies back.
Ms Soak::Allowed(const Exchange& x, long tries) const
{
    const long timeoutMs = static_cast<long>(options_.timeoutUnits) * 10;
    long ms = tries * (50 + 2 * timeoutMs + 150) + 1500;
    const long charNs = 10L * 1'000'000'000L / BAUD;
    for (const Scripted& s : x.faults) {
        long perRequest = 0;
        if (s.fault.kind == FaultKind::Delay)
            perRequest = s.fault.value;
        if (s.fault.kind == FaultKind::Split)
            perRequest = static_cast<long>(s.fault.value) * s.fault.pauseMs;
        if (s.fault.kind == FaultKind::Pace)
            perRequest = static_cast<long>((ReplyLength(x) + 50) * charNs / 1'000'000) + 1;
        ms += perRequest * s.requests;
    }
    return Ms(ms);
}

void Soak::Violation(const Exchange& x, const std::string& what)
{
    ++violations_;
    if (violations_ <= 20) {
        std::fprintf(report_, "VIOLATION at exchange %ld (%s %c%04X count %d bit %d station %d, faults %s): %s\n",
                     exchangeNumber_, x.read ? "read" : "write", x.operand, x.number, x.count, x.bit, x.station,
                     Label(x).c_str(), what.c_str());
        std::fflush(report_);
    }
}

void Soak::Check(const Exchange& x, int32_t result, const HostIo& host, const std::vector<uint16_t>& before,
                 const std::vector<uint16_t>& sent, long tries, Ms elapsed)
{
    const std::string label = Label(x);
    auto& row = counts_[label];
    attemptCounts_[std::min<long>(tries, 4)]++;
    if (x.faults.empty() && x.station != ABSENT_STATION && tries > 1)
        ++cleanRetries_;

    if (tries > 4)
        Violation(x, "more than four attempts: " + std::to_string(tries));
    const Ms allowed = Allowed(x, std::max<long>(tries, 1));
    worstShareOfAllowance_ = std::max(worstShareOfAllowance_, double(elapsed.count()) / double(allowed.count()));
    if (elapsed > allowed)
        Violation(x, "took " + std::to_string(elapsed.count()) + " ms, allowed " + std::to_string(allowed.count()));

    if (!x.read && x.operand == 'E') {
        ++row[REJECTED_OUTCOME];
        if (result != REJECTED || tries != 0)
            Violation(x, "write to E gave " + std::to_string(result) + " after " + std::to_string(tries) + " attempts");
        return;
    }
    if (result != SUCCESS && result != RECOVERY_ERROR) {
        Violation(x, "result " + std::to_string(result));
        return;
    }
    if (result == RECOVERY_ERROR && tries != 4)
        Violation(x, "failed after " + std::to_string(tries) + " attempts");
    if (result == SUCCESS && x.station == ABSENT_STATION)
        Violation(x, "success from a station that is not on the line");
    // Four attempts all hit by a failing fault cannot succeed; an exchange
    // whose replies all arrive whole and in time cannot fail.
    if (x.faults.size() == 1 && x.faults[0].requests == 4 && FailsTheAttempt(x, x.faults[0].fault) && result == SUCCESS)
        Violation(x, "succeeded although every attempt met a failing fault");
    bool harmless = x.station != ABSENT_STATION;
    for (const Scripted& s : x.faults)
        harmless = harmless &&
                   (Harmless(s.fault, options_.timeoutUnits) || (s.fault.kind == FaultKind::WrongStation && !x.read));
    if (harmless && result != SUCCESS)
        Violation(x, "failed although every reply arrived whole and in time");

    if (!x.read) {
        if (host.values != sent)
            Violation(x, "a write changed the host's values");
        const std::vector<uint16_t> now = Memory(x);
        std::vector<uint16_t> want = sent;
        want.resize(now.size(), 0);
        if (x.bit != NO_BIT) {
            // Set or reset one bit: only that bit of the word may change.
            const uint16_t mask = static_cast<uint16_t>(1u << x.bit);
            want.assign(now.size(), 0);
            want[0] = (sent[1] & 1) ? (before[0] | mask) : (before[0] & ~mask);
        } else if (x.count == 1) {
            want.assign(now.size(), 0);
            want[0] = x.operand == 'W' ? sent[1] : (sent[1] & 1);
        } else if (x.operand != 'W') {
            // Bits of the last element beyond the run are not the station's.
            const int last = (x.count - 1) / 16;
            const int used = x.count - last * 16;
            if (used < 16)
                want[last] &= static_cast<uint16_t>((1u << used) - 1);
            for (size_t i = last + 1; i < want.size(); ++i)
                want[i] = 0;
        } else {
            for (size_t i = x.count; i < want.size(); ++i)
                want[i] = 0;
        }
        if (x.station != ABSENT_STATION && now != want && now != before)
            Violation(x, "the station holds neither the old nor the new values");
        if (result == SUCCESS) {
            ++row[WRITE_OK];
            if (now != want)
                Violation(x, "write succeeded but the station does not hold the values");
        } else {
            ++row[WRITE_FAILED];
        }
        return;
    }

    // Reads.
    std::vector<uint16_t> untouched(host.values.size(), FILL);
    if (result != SUCCESS) {
        ++row[READ_FAILED];
        if (host.values != untouched)
            Violation(x, "a failed read changed the values");
        return;
    }
    std::vector<uint16_t> want = untouched;
    if (x.count == 1) {
        want[1] = before[0];
        if (x.bit != NO_BIT)
            want[1] = static_cast<uint16_t>((before[0] >> x.bit) & 1);
    } else if (x.count > 1) {
        const int elements = x.operand == 'W' ? x.count : (x.count + 15) / 16;
        for (int i = 0; i < elements; ++i)
            want[i] = before[i];
    }
    if (host.values == want) {
        ++row[READ_OK];
        return;
    }
    // Only the elements the count covers may differ, and only under faults
    // that can damage data unseen.
    bool outsideCovered = false;
    for (size_t i = 0; i < want.size(); ++i) {
        const bool covered =
            x.count == 1 ? i == 1 : i < static_cast<size_t>(x.operand == 'W' ? x.count : (x.count + 15) / 16);
        if (!covered && host.values[i] != want[i])
            outsideCovered = true;
    }
    if (!outsideCovered && MayDamageData(x)) {
        ++row[READ_DAMAGED];
        return;
    }
    ++row[READ_OK];
    std::string detail = outsideCovered ? "values outside the count written" : "read succeeded with wrong data";
    for (size_t i = 0; i < want.size() && i < 4; ++i) {
        char text[32];
        std::snprintf(text, sizeof text, " [%zu] %04X/%04X", i, host.values[i], want[i]);
        detail += text;
    }
    Violation(x, detail);
}

int Soak::Run(FILE* report)
{
    report_ = report;
    sim_.StartPty();
    FillMemory();
    DorvakSetSink(CountAttempts, nullptr);
    if (channel_.ColdStart(sim_.SlavePath(), options_.timeoutUnits) != SUCCESS) {
        std::fprintf(report, "cannot open %s\n", sim_.SlavePath().c_str());
        return 2;
    }

    const auto started = Clock::now();
    for (exchangeNumber_ = 0; exchangeNumber_ < options_.exchanges; ++exchangeNumber_) {
        // Now and then the host closes and reconfigures the line.
        if (exchangeNumber_ > 0 && exchangeNumber_ % 1000 == 0) {
            (void)channel_.Call(CMD_CLOSE_COM);  // the ChangeKivParams below is judged
            if (channel_.ChangeParams(sim_.SlavePath(), PortSettings{0, 0, 0, 0}) != SUCCESS) {
                std::fprintf(report, "cannot reopen %s\n", sim_.SlavePath().c_str());
                return 2;
            }
        }
        // Inputs change under the host's feet.
        if (exchangeNumber_ % 50 == 0) {
            const int i = Uniform(0, BYTE_BIT_RUN - 1);
            sim_.SetBit(STATIONS[Uniform(0, 2)], 'E', (i / 8) << 4 | (i % 8), rng_() & 1);
        }

        const Exchange x = Choose();
        HostIo host(x.station, x.operand, x.number, x.count, x.bit, FILL);
        if (!x.read)
            for (uint16_t& v : host.values)
                v = static_cast<uint16_t>(rng_());
        const std::vector<uint16_t> sent = host.values;
        const std::vector<uint16_t> before = Memory(x);
        if (x.station != ABSENT_STATION)
            for (const Scripted& s : x.faults)
                sim_.ScriptFault(x.station, s.fault, s.requests);

        const IoBlock ioBefore = host.io;
        const uint64_t requestsBefore = sim_.RequestCount();
        attempts = 0;
        const auto start = Clock::now();
        const int32_t result = channel_.Call(x.code, &host.io);
        const Ms elapsed = std::chrono::duration_cast<Ms>(Clock::now() - start);
        const long tries = attempts;

        // Every request of this exchange answered (or not) before the next:
        // then the next exchange's flush finds whatever came late.
        if (!sim_.WaitForRequests(requestsBefore + tries, Ms(5000)))
            Violation(x, "the simulator did not see every attempt's request");
        else if (sim_.RequestCount() != requestsBefore + static_cast<uint64_t>(tries))
            Violation(x, "frames on the line do not match the attempts logged");
        if (!x.faults.empty())
            std::this_thread::sleep_for(Ms(3));
        if (x.station != ABSENT_STATION)
            sim_.ClearFaults(x.station);

        if (std::memcmp(&host.io, &ioBefore, sizeof ioBefore) != 0)
            Violation(x, "the IoBlock changed");
        Check(x, result, host, before, sent, tries, elapsed);
        if (options_.exchanges >= 10000 && (exchangeNumber_ + 1) % 5000 == 0)
            std::fprintf(report, "progress: %ld exchanges, %ld violations, %.0f s\n", exchangeNumber_ + 1, violations_,
                         std::chrono::duration<double>(Clock::now() - started).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    (void)channel_.Call(CMD_CLOSE_COM);  // the run is over and counted
    DorvakSetSink(nullptr, nullptr);
    sim_.Stop();

    std::fprintf(report, "soak: %ld exchanges, seed %u, time-out %u0 ms, fault rate %.2f, %.1f s\n", options_.exchanges,
                 options_.seed, options_.timeoutUnits, options_.faultRate, seconds);
    std::fprintf(report, "%-22s", "fault");
    for (const char* outcome : OUTCOMES)
        std::fprintf(report, "%14s", outcome);
    std::fprintf(report, "\n");
    for (const auto& [label, row] : counts_) {
        std::fprintf(report, "%-22s", label.c_str());
        for (long n : row)
            std::fprintf(report, "%14ld", n);
        std::fprintf(report, "\n");
    }
    std::fprintf(report, "attempts: 0 %ld, 1 %ld, 2 %ld, 3 %ld, 4 %ld; slowest exchange used %.0f%% of its allowance\n",
                 attemptCounts_[0], attemptCounts_[1], attemptCounts_[2], attemptCounts_[3], attemptCounts_[4],
                 100.0 * worstShareOfAllowance_);
    std::fprintf(report, "exchanges without a fault that needed a retry: %ld\n", cleanRetries_);
    std::fprintf(report, "violations: %ld\n", violations_);
    return violations_ == 0 ? 0 : 1;
}

bool ParseArguments(int argc, char** argv, Options* options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return false;
        const char* value = argv[++i];
        char* end = nullptr;
        if (arg == "--exchanges")
            options->exchanges = std::strtol(value, &end, 10);
        else if (arg == "--seed")
            options->seed = static_cast<uint32_t>(std::strtoul(value, &end, 10));
        else if (arg == "--timeout")
            options->timeoutUnits = static_cast<uint32_t>(std::strtoul(value, &end, 10));
        else if (arg == "--fault-rate")
            options->faultRate = std::strtod(value, &end);
        else
            return false;
        if (end == value || *end != '\0')
            return false;
    }
    return options->exchanges >= 0 && options->timeoutUnits > 0 && options->faultRate >= 0 && options->faultRate <= 1;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseArguments(argc, argv, &options)) {
        std::fprintf(stderr, "usage: %s [--exchanges N] [--seed S] [--timeout UNITS] [--fault-rate P]\n", argv[0]);
        return 2;
    }
    // The driver traces every frame on standard output: tens of thousands of
    // lines nobody reads. The report goes to the real standard output.
    std::fflush(stdout);
    const int reportFd = dup(1);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, 1);
    close(null);
    FILE* report = fdopen(reportFd, "w");
    setvbuf(report, nullptr, _IOLBF, 0);

    kiv::ResetDriverEndedForTests();
    Soak soak(options);
    const int rc = soak.Run(report);
    std::fclose(report);
    return rc;
}
