// Section 10: kivgate, the Modbus TCP and MQTT gateway, as it runs: the
// line's owner scanning a paced plcsim line while its servers answer.
// Three figures, each against a baseline of the same run: Modbus TCP reads
// of the map by 8 clients on loopback against libmodbus's own server
// answering the same map from memory; a change at plcsim to the message at
// an MQTT subscriber against one scan cycle; the scan's cycle under the
// gateway against the same tag file's scan alone, as kivhost scan runs it.
//
// Built only with kivgate (bench/CMakeLists.txt). Without mosquitto the
// MQTT figure is skipped and said so.
#include <httplib.h>
#include <mosquitto.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/exchange_kinds.h"
#include "bench/gateway_rig.h"
#include "bench/modbus_load.h"
#include "bench/neighbour_figures.h"
#include "bench/report.h"
#include "bench/rounds.h"
#include "bench/section.h"
#include "bench/thread_times.h"
#include "hosting/driver_library.h"
#include "hosting/driver_output.h"
#include "hosting/session.h"
#include "tests/mosquitto_broker.h"

namespace kivbench {

namespace {

using namespace std::chrono_literals;

constexpr int CLIENTS = 8;
constexpr double RATE_TARGET = 0.9;     // kivgate's requests/s over libmodbus's, median round
constexpr double LATENCY_SLACK_MS = 5;  // over half a cycle and the changed block's wire time
// The changed word's block: the run of 8 and the 8 single words after its gap, 24 words.
constexpr int CHANGED_BLOCK_WORDS = 24;
// The status page as a browser shows it, with a scraper beside it.
constexpr std::chrono::milliseconds PAGE_PERIOD{100};
constexpr double CYCLE_TARGET = 1.02;      // the cycle under the gateway over the scan alone
constexpr auto PACED_CLIENT_PAUSE = 10ms;  // while the cycle is measured: a busy SCADA's polling

struct ModbusSide {
    uint64_t requests = 0;
    uint64_t failures = 0;
    double seconds = 0;
    std::vector<double> latencyUs;
    double Rate() const { return seconds > 0 ? static_cast<double>(requests) / seconds : 0; }

    double Add(const LoadRound& round)
    {
        requests += round.requests;
        failures += round.failures;
        seconds += round.seconds;
        latencyUs.insert(latencyUs.end(), round.latencyUs.begin(), round.latencyUs.end());
        return round.seconds;
    }
};

struct ModbusResult {
    ModbusSide gateway;
    ModbusSide libmodbus;
    std::vector<double> roundRatios;  // gateway rate / libmodbus rate
};

ModbusResult MeasureModbus(GatewayRig& rig, ModbusClients& gatewayClients, const BenchRun& run)
{
    // libmodbus's server is given what the gateway answers, and must answer it back.
    std::vector<uint16_t> registers;
    std::vector<uint8_t> coils;
    Require(gatewayClients.Read(&registers, &coils), "gateway: the first Modbus read failed");
    LibmodbusServer server(registers, coils);
    ModbusClients libmodbusClients(server.Port(), CLIENTS, rig.Registers(), rig.Coils());
    std::vector<uint16_t> registersBack;
    std::vector<uint8_t> coilsBack;
    Require(libmodbusClients.Read(&registersBack, &coilsBack) && registersBack == registers && coilsBack == coils,
            "gateway: libmodbus's server does not answer the gateway's map");

    const int rounds = run.quick ? 4 : 20;
    const int perClient = run.quick ? 200 : 2000;
    gatewayClients.Round(50);  // warm-up
    libmodbusClients.Round(50);
    ModbusResult result;
    result.roundRatios = InterleavedRounds(
        rounds, [&] { return result.gateway.Add(gatewayClients.Round(perClient)); },
        [&] { return result.libmodbus.Add(libmodbusClients.Round(perClient)); });
    return result;
}

// A subscriber to the changed tag's topic that notes when each value came.
class ValueWatch {
public:
    explicit ValueWatch(int port)
    {
        mosquitto_lib_init();
        client_ = mosquitto_new(nullptr, true, this);
        Require(client_ != nullptr, "gateway: mosquitto_new failed");
        mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* message) {
            static_cast<ValueWatch*>(self)->Take(message);
        });
        const std::string topic = std::string(GatewayRig::PREFIX) + "/" + GatewayRig::CHANGED_TAG;
        Require(mosquitto_connect(client_, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS &&
                    mosquitto_subscribe(client_, nullptr, topic.c_str(), 0) == MOSQ_ERR_SUCCESS &&
                    mosquitto_loop_start(client_) == MOSQ_ERR_SUCCESS,
                "gateway: the subscriber cannot connect to the broker");
    }
    ~ValueWatch()
    {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
    }
    ValueWatch(const ValueWatch&) = delete;
    ValueWatch& operator=(const ValueWatch&) = delete;

    // When the value came, if it did within the time.
    std::optional<Clock::time_point> WaitFor(long value, std::chrono::milliseconds upTo)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        std::optional<Clock::time_point> at;
        changed_.wait_for(lock, upTo, [&] {
            for (const auto& [got, when] : seen_)
                if (got == value)
                    at = when;
            return at.has_value();
        });
        return at;
    }
    bool AnyWithin(std::chrono::milliseconds upTo)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, upTo, [&] { return !seen_.empty(); });
    }

private:
    void Take(const mosquitto_message* message)
    {
        const auto now = Clock::now();
        const std::string payload(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
        const size_t at = payload.find("\"value\":");
        if (at == std::string::npos)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.emplace_back(std::strtol(payload.c_str() + at + 8, nullptr, 10), now);
        changed_.notify_all();
    }

    mosquitto* client_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<long, Clock::time_point>> seen_;
};

struct MqttResult {
    std::string skipped;  // why, when not measured
    std::vector<double> latencyMs;
    uint64_t lost = 0;  // changes that never came
    double cycleMs = 0;
};

MqttResult MeasureMqtt(GatewayRig& rig, int brokerPort, const BenchRun& run)
{
    MqttResult result;
    ValueWatch watch(brokerPort);
    Require(watch.AnyWithin(5s), "gateway: the subscriber got no retained value within 5 s");
    const auto first = rig.Snapshots().Latest();
    // The cycle first, so that changes can be spread evenly over it: each
    // waits a random time of up to two cycles after the last one came,
    // which arrived at a fixed point of its block's read.
    std::this_thread::sleep_for(1s);
    const auto warm = rig.Snapshots().Latest();
    const double cycleMs =
        warm->cycle > first->cycle
            ? std::chrono::duration<double, std::milli>(warm->time - first->time).count() / (warm->cycle - first->cycle)
            : 200;
    std::mt19937 random(7);
    const int samples = run.quick ? 6 : 40;
    for (int i = 0; i < samples; ++i) {
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(0, static_cast<int>(2 * cycleMs))(random)));
        const long value = 20000 + i;
        const auto changed = Clock::now();
        rig.Simulator().SetWord(GatewayRig::CHANGED_STATION, GatewayRig::CHANGED_WORD, static_cast<uint16_t>(value));
        const auto came = watch.WaitFor(value, 5s);
        if (came)
            result.latencyMs.push_back(Seconds(*came - changed) * 1000);
        else
            ++result.lost;
    }
    const auto last = rig.Snapshots().Latest();
    if (last->cycle > first->cycle)
        result.cycleMs =
            std::chrono::duration<double, std::milli>(last->time - first->time).count() / (last->cycle - first->cycle);
    return result;
}

struct CycleResult {
    double gatewayMs = 0;
    double aloneMs = 0;
    int cycles = 0;                   // each side
    std::vector<double> roundRatios;  // gateway cycle / alone cycle
    uint64_t pageFetches = 0;         // of /api/status and /metrics while the gateway scanned
    uint64_t pageFailures = 0;
};

CycleResult MeasureCycles(GatewayRig& rig, ModbusClients& clients, const BenchRun& run)
{
    const int rounds = run.quick ? 2 : 6;
    const int perRound = run.quick ? 3 : 8;
    CycleResult result;
    rig.GatewayCycles(1);  // first use of every path
    rig.AloneCycles(1);
    const auto gateway = [&] {
        // The servers under load while the owner scans: the clients poll the map.
        std::atomic<bool> polling{true};
        std::thread load([&] {
            while (polling)
                clients.Round(4, PACED_CLIENT_PAUSE);
        });
        // And someone watching: the status page's data and /metrics, ten times a second.
        std::thread watcher([&] {
            httplib::Client page("127.0.0.1", rig.HttpPort());
            while (polling) {
                const auto next = Clock::now() + PAGE_PERIOD;
                for (const char* path : {"/api/status", "/metrics"}) {
                    const auto answer = page.Get(path);
                    if (!answer || answer->status != 200)
                        ++result.pageFailures;
                    else
                        ++result.pageFetches;
                }
                std::this_thread::sleep_until(next);
            }
        });
        const auto start = Clock::now();
        rig.GatewayCycles(perRound);
        const double seconds = Seconds(Clock::now() - start);
        polling = false;
        load.join();
        watcher.join();
        result.gatewayMs += seconds * 1000;
        return seconds;
    };
    const auto alone = [&] {
        const auto start = Clock::now();
        rig.AloneCycles(perRound);
        const double seconds = Seconds(Clock::now() - start);
        result.aloneMs += seconds * 1000;
        return seconds;
    };
    // The rounds' ratios are alone/gateway: the gateway's cycle over the alone's is their inverse.
    for (double ratio : InterleavedRounds(rounds, gateway, alone))
        result.roundRatios.push_back(1 / ratio);
    result.cycles = rounds * perRound;
    result.gatewayMs /= result.cycles;
    result.aloneMs /= result.cycles;
    return result;
}

// What the report says of the rig, taken before it is taken down.
struct RigFacts {
    size_t tags = 0;
    size_t blocks = 0;
    unsigned registers = 0;
    unsigned coils = 0;
};

void Report(const RigFacts& rig, ModbusResult& modbus, MqttResult& mqtt, const CycleResult& cycles)
{
    PrintHeading(Format("10. kivgate: %zu tags over 2 stations of a plcsim line paced at %d baud, %zu blocks a cycle; "
                        "Modbus TCP and MQTT on loopback",
                        rig.tags, GatewayRig::BAUD, rig.blocks)
                     .c_str());
    PrintParagraph(Format("Modbus TCP: %d clients, each reading the map's %u holding registers and %u coils in turn, "
                          "back to back, while the scan runs:",
                          CLIENTS, rig.registers, rig.coils));
    const double ratio = Median(modbus.roundRatios);
    Table table(
        {"server", "requests", "requests/s", "p50", "p99", "kivgate/libmodbus, median round", "target", "result"});
    table.Row({"kivgate, from the last scan", Grouped(static_cast<double>(modbus.gateway.requests)),
               Grouped(modbus.gateway.Rate()), Format("%.0f µs", Percentile(modbus.gateway.latencyUs, 50)),
               Format("%.0f µs", Percentile(modbus.gateway.latencyUs, 99)), Format("%.3f", ratio),
               Format("≥ %.2f", RATE_TARGET),
               Verdict(ratio >= RATE_TARGET && modbus.gateway.failures + modbus.libmodbus.failures == 0,
                       "kivgate Modbus TCP rate") +
                   Failed(modbus.gateway.failures + modbus.libmodbus.failures)});
    table.Row({"libmodbus, from memory", Grouped(static_cast<double>(modbus.libmodbus.requests)),
               Grouped(modbus.libmodbus.Rate()), Format("%.0f µs", Percentile(modbus.libmodbus.latencyUs, 50)),
               Format("%.0f µs", Percentile(modbus.libmodbus.latencyUs, 99)), "—", "baseline", "—"});
    table.Print();

    if (!mqtt.skipped.empty()) {
        PrintParagraph("MQTT: skipped: " + mqtt.skipped + ".");
    } else {
        PrintParagraph(Format("MQTT: a word changed at plcsim, at a random point of the cycle, to the message at a "
                              "subscriber (JSON payload, QoS 0):"));
        const double median = Percentile(mqtt.latencyMs, 50);
        // A change at a random point waits half a cycle for its block on
        // average, then the block's own time on the wire.
        const double blockWireMs = (14 + 7 + 4 * CHANGED_BLOCK_WORDS + 2) * 10.0 / GatewayRig::BAUD * 1000;
        const double target = mqtt.cycleMs / 2 + blockWireMs + LATENCY_SLACK_MS;
        const size_t samples = mqtt.latencyMs.size();
        Table latency({"changes", "median", "p90", "max", "scan cycle", "target", "result"});
        latency.Row(
            {std::to_string(samples + mqtt.lost), Format("%.1f ms", median),
             Format("%.1f ms", Percentile(mqtt.latencyMs, 90)),
             Format("%.1f ms", samples ? mqtt.latencyMs.back() : 0.0), Format("%.1f ms", mqtt.cycleMs),
             Format("median ≤ cycle/2 + block wire %.1f ms + %.0f ms = %.1f ms", blockWireMs, LATENCY_SLACK_MS, target),
             Verdict(mqtt.lost == 0 && samples > 0 && median <= target, "kivgate change to MQTT") + Failed(mqtt.lost)});
        latency.Print();
    }

    PrintParagraph(Format("The scan's cycle under the gateway (the line's owner, the servers running, the %d clients "
                          "polling every %lld ms, the status page's /api/status and /metrics fetched every %lld ms: "
                          "%llu fetches, %llu failed) against the same tag file's scan alone, as kivhost scan runs "
                          "it; %d cycles a side, interleaved:",
                          CLIENTS, static_cast<long long>(PACED_CLIENT_PAUSE.count()),
                          static_cast<long long>(PAGE_PERIOD.count()),
                          static_cast<unsigned long long>(cycles.pageFetches),
                          static_cast<unsigned long long>(cycles.pageFailures), cycles.cycles));
    const double cycleRatio = Median(cycles.roundRatios);
    Table cycle({"scan alone", "under kivgate", "kivgate/alone, median round", "target", "result"});
    cycle.Row({Format("%.1f ms", cycles.aloneMs), Format("%.1f ms", cycles.gatewayMs), Format("%.3f", cycleRatio),
               Format("≤ %.2f", CYCLE_TARGET),
               Verdict(cycleRatio <= CYCLE_TARGET && cycles.pageFailures == 0, "kivgate scan cycle") +
                   Failed(cycles.pageFailures)});
    cycle.Print();
}

void RunGatewaySection(BenchRun& run)
{
    // As in section 8: the session sets descriptor 1 aside for the driver's
    // traces; it is put back for the sections after this one.
    const int traces = dup(1);
    Require(traces >= 0, "gateway: dup");
    std::string error;
    kivhost::DriverOutput output;
    Require(output.Start(&error), "gateway: " + error);
    const auto library = kivhost::DriverLibrary::Load(kivhost::DefaultLibraryPath(), &error);
    Require(library != nullptr, "gateway: " + error);

    mqtt_test::Broker broker;
    std::string brokerProblem;
    const int brokerPort = broker.Start(&brokerProblem) ? broker.Port() : 0;
    {
        kivhost::Session session(library->Entry(), output);
        DriverInfoBlock info{};
        Require(session.GetInfo(&info) == SUCCESS, "gateway: GetKivInfo failed");
        ModbusResult modbus;
        MqttResult mqtt;
        CycleResult cycles;
        RigFacts facts;
        {
            GatewayRig rig(session, brokerPort);
            facts = {rig.Tags(), rig.Blocks(), rig.Registers(), rig.Coils()};
            ModbusClients clients(rig.ModbusPort(), CLIENTS, rig.Registers(), rig.Coils());
            cycles = MeasureCycles(rig, clients, run);
            rig.StartScan();
            modbus = MeasureModbus(rig, clients, run);
            if (brokerPort != 0)
                mqtt = MeasureMqtt(rig, brokerPort, run);
            else
                mqtt.skipped = brokerProblem;
        }
        // CloseCom, not EndKiv: the driver is one per process.
        DriverRequest close{};
        close.channel = &session.Channel();
        close.code = CMD_CLOSE_COM;
        (void)library->Entry()(&close);
        dup2(traces, 1);
        ::close(traces);
        Report(facts, modbus, mqtt, cycles);
    }
    RunNeighbourFigures(run);
}

const SectionRegistration GATEWAY_SECTION({10, "10", RunGatewaySection});

}  // namespace

}  // namespace kivbench
