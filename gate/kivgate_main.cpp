// kivgate: the stations of one line served over Modbus TCP and MQTT. One
// thread (this one) owns the line; the servers run on their own and read
// the snapshots it publishes.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/standard_descriptors.h"
#include "common/stop_signals.h"
#include "common/tool_text.h"
#include "davodev_version.h"
#include "fieldkit/command_steps.h"
#include "fieldkit/tag_loading.h"
#include "gate/gate_config.h"
#include "gate/gate_log.h"
#include "gate/gate_watch.h"
#include "gate/ha_discovery.h"
#include "gate/kivgate_command_line.h"
#include "gate/line_owner.h"
#include "gate/reload.h"
#include "gate/service_notify.h"
#include "gate/start_files.h"
#include "hosting/driver_library.h"
#include "hosting/driver_output.h"
#include "hosting/session.h"

#if __has_include("modbus_server.h")
#include "gate/modbus_server.h"
#define KIVGATE_HAS_MODBUS 1
#endif
#if __has_include("mqtt_bridge.h")
#include "gate/mqtt_bridge.h"
#define KIVGATE_HAS_MQTT 1
#endif

using namespace kivgate;
using kivhost::Complain;
using kivhost::EXIT_DONE;
using kivhost::EXIT_FAILED;
using kivhost::EXIT_USAGE;

namespace {

constexpr size_t WRITE_QUEUE_CAPACITY = 64;

// The tags of the file, mapped; EXIT_DONE, or every bad row told and the status.
int LoadGateTags(kivhost::Context& context, const GateRun& run, std::vector<GateTag>* gateTags)
{
    const std::string& path = run.options.scan.tagFile;
    std::vector<kivhost::Tag> tags;
    if (int status = kivhost::LoadTagFile(context, path, &tags, GateColumns(), kivhost::FileKinds::RegularOnly,
                                          CheckValueColumns);
        status != EXIT_DONE)
        return status;
    GateConfig config = MapTags(std::move(tags), path, run.gate.mqttPrefix);
    if (config.errors.empty() && run.gate.haDiscovery)
        config.errors = HaObjectClashes(config.tags, path);
    if (!config.errors.empty()) {
        context.session.End();
        // As a tag file's own errors: the first few explained, the rest counted.
        const size_t told = std::min(config.errors.size(), kivhost::TAG_FILE_ROWS_TOLD);
        for (size_t i = 0; i + 1 < told; ++i)
            kivhost::Tell(config.errors[i].Message());
        if (told == config.errors.size())
            return Complain(EXIT_USAGE, config.errors.back().Message());
        kivhost::Tell(config.errors[told - 1].Message());
        return Complain(EXIT_USAGE, kivhost::Printable(path) + ": ... and " +
                                        std::to_string(config.errors.size() - told) + " more rows refused, " +
                                        std::to_string(config.errors.size()) + " in all");
    }
    *gateTags = std::move(config.tags);
    return EXIT_DONE;
}

// The servers the options ask for, started; false, told, when one cannot.
struct Servers {
#if KIVGATE_HAS_MODBUS
    std::unique_ptr<ModbusServer> modbus;
#endif
#if KIVGATE_HAS_MQTT
    std::unique_ptr<MqttBridge> mqtt;
#endif
    std::unique_ptr<StatusServer> http;
    void Stop()
    {
        if (http)
            http->Stop();  // first: its requests ask the others
#if KIVGATE_HAS_MQTT
        if (mqtt)
            mqtt->Stop();  // publishes offline
#endif
#if KIVGATE_HAS_MODBUS
        if (modbus)
            modbus->Stop();
#endif
    }
};

#if KIVGATE_HAS_MODBUS
ModbusSettings ModbusSettingsOf(const GateOptions& gate)
{
    ModbusSettings settings;
    settings.host = gate.modbusListenHost;
    settings.port = gate.modbusListenPort;
    settings.maxClients = gate.modbusClients;
    settings.idleS = gate.modbusIdleS;
    settings.requestS = gate.modbusRequestS;
    settings.allowWrites = gate.allowWrites;
    settings.units = gate.modbusUnits;
    return settings;
}
#endif

#if KIVGATE_HAS_MQTT
MqttSettings MqttSettingsOf(const GateOptions& gate)
{
    MqttSettings settings;
    settings.host = gate.mqttHost;
    settings.port = gate.mqttPort;
    settings.prefix = gate.mqttPrefix;
    settings.clientId = gate.mqttClientId;
    settings.user = gate.mqttUser;
    settings.password = gate.mqttPassword;
    settings.cafile = gate.mqttCaFile;
    settings.certfile = gate.mqttCertFile;
    settings.keyfile = gate.mqttKeyFile;
    settings.payload = gate.mqttPayloadValue ? PayloadForm::Value : PayloadForm::Json;
    settings.refresh = std::chrono::seconds(gate.mqttRefreshS);
    settings.allowWrites = gate.allowWrites;
    settings.haDiscovery = gate.haDiscovery;
    settings.haPrefix = gate.haPrefix;
    settings.version = std::string(kiv::VERSION);
    return settings;
}
#endif

// What the status page says of the gateway, asked at each request.
GatewayFacts FactsOf(const GateRun& run, const Servers& servers)
{
    GatewayFacts facts;
    facts.version = std::string(kiv::VERSION);
    facts.line = run.options.line;
#if KIVGATE_HAS_MQTT
    if (servers.mqtt)
        facts.mqtt =
            GatewayFacts::Mqtt{run.gate.mqttHost + ":" + std::to_string(run.gate.mqttPort), servers.mqtt->Connected()};
#endif
#if KIVGATE_HAS_MODBUS
    if (servers.modbus)
        facts.modbus = GatewayFacts::Modbus{run.gate.modbusListenHost + ":" + std::to_string(servers.modbus->Port()),
                                            servers.modbus->Clients()};
#endif
    return facts;
}

// EXIT_DONE, or the status to end with, told.
int StartStatusPage(const GateRun& run, SnapshotStore& snapshots, GateWatch& watch, const Logger& log, Servers* servers)
{
    if (!run.gate.httpEnabled)
        return EXIT_DONE;
    servers->http =
        std::make_unique<StatusServer>(watch.Content(snapshots, [&run, servers] { return FactsOf(run, *servers); }));
    std::string why;
    if (!servers->http->Start(run.gate.httpHost, run.gate.httpPort, &why)) {
        kivhost::Tell("cannot serve the status page: " + why + "; --no-http for none");
        return servers->http->RefusedBySetUp() ? EXIT_USAGE : EXIT_FAILED;
    }
    log("status page on http://" + run.gate.httpHost + ":" + std::to_string(servers->http->Port()) +
        "/ (metrics on /metrics)");
    if (!IsLoopbackHost(run.gate.httpHost))
        log("warning: the status page listens on " + run.gate.httpHost +
            ", beyond this machine, and has no authentication: anyone who reaches it sees the line");
    return EXIT_DONE;
}

// EXIT_DONE, or the status to end with, told.
int StartServers(const GateRun& run, const std::vector<GateTag>& tags, SnapshotStore& snapshots, WriteQueue& writes,
                 GateWatch& watch, const Logger& log, Servers* servers)
{
    std::string why;
#if KIVGATE_HAS_MODBUS
    if (run.gate.modbusEnabled) {
        ModbusSettings settings = ModbusSettingsOf(run.gate);
        settings.metrics = &watch.Metrics();
        servers->modbus = std::make_unique<ModbusServer>(settings, tags, snapshots, writes, log);
        if (!servers->modbus->Start(&why)) {
            kivhost::Tell("cannot serve Modbus TCP: " + why);
            return servers->modbus->RefusedBySetUp() ? EXIT_USAGE : EXIT_FAILED;
        }
    }
#else
    if (run.gate.modbusEnabled)
        log.Warn("this kivgate was built without its Modbus TCP server");
#endif
#if KIVGATE_HAS_MQTT
    if (run.gate.mqttPort != 0) {
        MqttSettings settings = MqttSettingsOf(run.gate);
        settings.metrics = &watch.Metrics();
        servers->mqtt = std::make_unique<MqttBridge>(settings, tags, snapshots, writes, log);
        if (!servers->mqtt->Start(&why)) {
            kivhost::Tell("cannot start MQTT: " + why);
            servers->Stop();
            return EXIT_FAILED;
        }
    }
#else
    if (run.gate.mqttPort != 0)
        log.Warn("this kivgate was built without MQTT");
#endif
    if (int status = StartStatusPage(run, snapshots, watch, log, servers); status != EXIT_DONE) {
        servers->Stop();
        return status;
    }
    (void)tags, (void)writes, (void)why;
    return EXIT_DONE;
}

// SIGHUP's work, off the line's thread and with every signal left to the
// main thread: the new start is checked while the old one serves; a valid
// one ends the run after the exchange under way, for main to start it.
void WatchReloads(const Logger& log, kivhost::StopToken& stop, std::atomic<bool>& restart)
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    while (stop.WaitUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(100))) {
        if (!TakeReloadRequest())
            continue;
        log("reload asked (SIGHUP): checking the tag file and options");
        if (const std::string why = CheckRestart(); !why.empty()) {
            log.Error("reload refused, the running tag file and options stay: " + why);
            continue;
        }
        restart = true;
        stop.Request();
    }
}

int Serve(const GateRun& run, kivhost::DriverOutput& output)
{
    const kivhost::Options& options = run.options;
    std::string error;
    if (!output.Start(&error))
        return Complain(EXIT_FAILED, error);
    const std::string library = options.library.empty() ? kivhost::DefaultLibraryPath() : options.library;
    const auto driver = kivhost::DriverLibrary::Load(library, &error);
    if (!driver)
        return Complain(EXIT_FAILED, error);
    kivhost::Session session(driver->Entry(), output);
    kivhost::Context context{options, session, output, library};
    kivhost::JsonObject json;
    json.Text("command", "kivgate");
    if (int status = kivhost::StartChannel(context, json); status != EXIT_DONE)
        return status;
    std::vector<GateTag> tags;
    if (int status = LoadGateTags(context, run, &tags); status != EXIT_DONE)
        return status;
    if (run.what == GateRun::What::Plan) {
        session.End();
        const std::string text = GatePlanText(tags, kivhost::PlanReads(ScanTags(tags), options.scan.maxGap),
                                              options.scan.maxGap, options.line);
        std::fputs(text.c_str(), output.Results());
        std::fflush(output.Results());
        return EXIT_DONE;
    }
    if (int status = kivhost::OpenLine(context, json); status != EXIT_DONE)
        return status;

    // The handlers run on this thread alone: every thread started from here
    // on (the write queue's, the servers', libmosquitto's, the reload
    // watcher, and the ones they start) inherits the stop signals blocked.
    // A signal that comes meanwhile is taken once the line's loop begins.
    std::optional<kivhost::StopSignalsHeld> held(std::in_place);
    Logger log;
    log.SetLevel(run.gate.logLevel);
    SnapshotStore snapshots;
    GateWatch watch(tags);
    WriteQueue writes(WRITE_QUEUE_CAPACITY, std::chrono::milliseconds(run.gate.writeTimeoutMs));
    LineOwnerSettings settings;
    settings.maxGap = options.scan.maxGap;
    settings.retryDown = std::chrono::seconds(options.scan.retryDownS);
    settings.intervalMs = options.intervalMs;
    settings.maxAge = std::chrono::seconds(run.gate.maxAgeS);
    settings.metrics = &watch.Metrics();
    settings.history = &watch.History();
    watch.Watch(writes);
    ServiceNotifier notifier;
    settings.notifier = &notifier;
    LineOwner owner(session, context.reporter, options.line, tags, settings, snapshots, writes, log);
    kivhost::StopToken& stop = kivhost::CatchStopSignals(options.line, owner.LongestReply(), "kivgate");
    // Before anything is said of the run: a SIGHUP from then on is a reload.
    CatchReloadSignal();
    Servers servers;
    std::atomic<bool> restart{false};
    if (int status = StartServers(run, tags, snapshots, writes, watch, log, &servers); status != EXIT_DONE) {
        session.End();
        return status;
    }
    std::thread reloads(WatchReloads, std::cref(log), std::ref(stop), std::ref(restart));
    log("scanning " + std::to_string(tags.size()) + " tags on " + options.line.portGivenAs);
    held.reset();
    owner.Run(stop);
    reloads.join();
    // A reload starts kivgate again in this process: the service goes on.
    if (!restart)
        notifier.Stopping();
    log.EndStatus();
    servers.Stop();
    session.End();
    if (restart) {
        log("reloading: the new tag file and options take over");
        const std::string why = Restart();
        return Complain(EXIT_FAILED, why);
    }
    log("stopped");
    return EXIT_DONE;
}

}  // namespace

int main(int argc, char** argv)
{
    kivhost::SetProgramName("kivgate");
    RememberCommandLine(argc, argv);
    kivhost::HoldStandardDescriptors();
    // A log whose reader has gone must not end the service; the line goes unwritten.
    kivhost::IgnoreBrokenPipes();
    const GateCommandLine commandLine = ParseGateCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (!commandLine.run)
        return Complain(EXIT_USAGE, commandLine.error);
    const GateRun& run = *commandLine.run;
    if (run.what == GateRun::What::Help) {
        std::fputs(run.helpText.c_str(), stdout);
        return EXIT_DONE;
    }
    if (run.what == GateRun::What::Version) {
        std::printf("kivgate %.*s\n", static_cast<int>(kiv::VERSION.size()), kiv::VERSION.data());
        return EXIT_DONE;
    }
    // Before the driver, the port or a server: a file a service cannot read
    // is its set-up's fault, which no restart mends.
    if (run.what == GateRun::What::Serve && run.gate.mqttPort != 0)
        if (const std::string why = UnreadableTlsFile(run.gate); !why.empty())
            return Complain(EXIT_USAGE, why);
    kivhost::DriverOutput output;
    int status = Serve(run, output);
    // Standard output was the driver's scratch file: what --plan wrote there is checked on closing.
    if (output.Results() != nullptr)
        if (std::string lost = output.CloseResults(); !lost.empty() && status == EXIT_DONE)
            status = Complain(EXIT_FAILED, lost);
    return status;
}
