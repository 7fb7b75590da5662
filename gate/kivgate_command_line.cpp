#include "gate/kivgate_command_line.h"

#include "gate/mqtt_identity.h"
#include "gate/mqtt_payload.h"
#include "gate/start_files.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <utility>

#include "common/empty_values.h"
#include "common/number_rules.h"
#include "common/tool_text.h"
#include "fieldkit/help_groups.h"
#include "fieldkit/option_checks.h"
#include "fieldkit/program_options.h"

namespace kivgate {
namespace {

using kivhost::Bad;
using kivhost::IsGiven;
using kivhost::ParseOptionNumber;
using kivhost::Printf;

const std::string GATE_GROUP = "Gateway options";

struct GateGiven {
    std::string modbusListen, modbusUnit, modbusClients, modbusIdle, modbusRequestTime, logLevel, mqtt, mqttPrefix,
        mqttClientId, mqttUser, mqttPasswordFile, mqttCaFile, mqttCertFile, mqttKeyFile, mqttPayload, mqttRefresh,
        maxAge, writeTimeout, haPrefix, http;
    bool noModbus = false;
    bool noHttp = false;
    bool haDiscovery = false;
    bool allowWrites = false;
};

void Declare(CLI::App& app, kivhost::Given& given, GateGiven& gate)
{
    app.add_option("TAGFILE", given.tagFile, "the tag file, with modbus, topic and access columns if wanted")
        ->type_name("");
    app.add_flag("--plan", given.plan,
                 "print the block reads, the Modbus map and the topics,\nand stop; no port needed")
        ->disable_flag_override();
    app.add_option("--interval", given.interval,
                   Printf("from the start of one scan cycle to the next, 0: back\nto back (default %u)",
                          static_cast<unsigned>(kivhost::DEFAULT_INTERVAL_MS)))
        ->type_name("MS");
    app.add_option(
           "--max-gap", given.maxGap,
           Printf("elements that may lie unused between tags of one block\n(default %d)", kivhost::DEFAULT_MAX_GAP))
        ->type_name("N");
    app.add_option(
           "--retry-down", given.retryDown,
           Printf("seconds between tries of a station that stopped\nanswering, or of a failed port (default %u)",
                  static_cast<unsigned>(kivhost::DEFAULT_RETRY_DOWN_S)))
        ->type_name("S");
    app.add_option("--lib", given.library, "the driver library to load")
        ->type_name("PATH")
        ->group(kivhost::OTHER_GROUP);
    app.add_flag("--version", given.version, "kivgate's version")->disable_flag_override()->group(kivhost::OTHER_GROUP);

    auto add = [&app](const char* name, std::string& into, const char* type, const std::string& help) {
        app.add_option(name, into, help)->type_name(type)->group(GATE_GROUP);
    };
    add("--modbus-listen", gate.modbusListen, "ADDR:PORT",
        Printf("the Modbus TCP server's address (default %s:%u)", DEFAULT_MODBUS_HOST, unsigned{DEFAULT_MODBUS_PORT}));
    add("--modbus-unit", gate.modbusUnit, "LIST",
        "answer only these unit ids, e.g. 1,5-7; another gets\nexception 0A, gateway path unavailable (default: any)");
    add("--modbus-clients", gate.modbusClients, "N",
        Printf("Modbus clients at once, 1 to 256 (default %d)", DEFAULT_MODBUS_CLIENTS));
    add("--modbus-idle", gate.modbusIdle, "S",
        Printf("a Modbus connection ends S seconds after its last\nwhole request (default %d)", DEFAULT_MODBUS_IDLE_S));
    add("--modbus-request-time", gate.modbusRequestTime, "S",
        Printf("a Modbus connection ends when a request is not whole\nS seconds after its first byte (default %d)",
               DEFAULT_MODBUS_REQUEST_S));
    app.add_flag("--no-modbus", gate.noModbus, "no Modbus TCP server")->disable_flag_override()->group(GATE_GROUP);
    add("--http", gate.http, "ADDR:PORT",
        Printf("the status page and /metrics (default %s:%u; port 0: any\nfree one); no authentication: keep it on "
               "a\ntrusted network",
               DEFAULT_HTTP_HOST, unsigned{DEFAULT_HTTP_PORT}));
    app.add_flag("--no-http", gate.noHttp, "no status page or metrics")->disable_flag_override()->group(GATE_GROUP);
    add("--mqtt", gate.mqtt, "HOST:PORT", "the MQTT broker (default: none, no MQTT)");
    add("--mqtt-prefix", gate.mqttPrefix, "TEXT", Printf("the topics' prefix (default %s)", DEFAULT_MQTT_PREFIX));
    add("--mqtt-client-id", gate.mqttClientId, "TEXT",
        "the MQTT client id (default kivgate-HOST-PREFIX; UTF-8, no control characters)");
    add("--mqtt-user", gate.mqttUser, "NAME", "the broker's user name");
    add("--mqtt-password-file", gate.mqttPasswordFile, "FILE",
        "the broker's password, the file's first line (or the\ncredential mqtt-password, or KIVGATE_MQTT_PASSWORD)");
    add("--mqtt-cafile", gate.mqttCaFile, "FILE", "TLS: the certificate authority's certificate");
    add("--mqtt-certfile", gate.mqttCertFile, "FILE", "TLS: the client's certificate");
    add("--mqtt-keyfile", gate.mqttKeyFile, "FILE", "TLS: the client's key (or the credential mqtt-key)");
    add("--mqtt-payload", gate.mqttPayload, "json|value",
        "a JSON object per value (default), or the bare value,\npublished while good, its quality on TOPIC/quality");
    add("--mqtt-refresh", gate.mqttRefresh, "S",
        Printf("every value published at least every S seconds (default %d)", DEFAULT_MQTT_REFRESH_S));
    app.add_flag("--ha-discovery", gate.haDiscovery, "Home Assistant MQTT discovery configs for the tags")
        ->disable_flag_override()
        ->group(GATE_GROUP);
    add("--ha-prefix", gate.haPrefix, "TEXT",
        Printf("Home Assistant's discovery prefix (default %s)", DEFAULT_HA_PREFIX));
    app.add_flag("--allow-writes", gate.allowWrites, "rw tags may be written over Modbus and MQTT")
        ->disable_flag_override()
        ->group(GATE_GROUP);
    add("--max-age", gate.maxAge, "S|auto",
        "a value not read again within S seconds is served\nstale (default auto: 3 times the recent cycles, at\nleast "
        "2 s)");
    add("--write-timeout", gate.writeTimeout, "MS",
        Printf("a write not sent within MS ms is dropped and answered\nas failed (default %d)",
               DEFAULT_WRITE_TIMEOUT_MS));
    add("--log-level", gate.logLevel, "error|warn|info|debug",
        "the least event logged: warn adds a station down or the\nbroker lost, info each write done or refused, debug\n"
        "each Modbus connection (default info)");
}

// "HOST:PORT" (the port from 1, or 0 when port0 is allowed); "[::1]:1502" too.
std::string TakeHostPort(const char* option, const std::string& text, std::string* host, uint16_t* port,
                         bool port0 = false)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return Bad(option, text, "give HOST:PORT, e.g. 127.0.0.1:1502");
    std::string name = text.substr(0, colon);
    if (name.size() > 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    const auto number = ParseOptionNumber(text.substr(colon + 1), port0 ? 0 : 1, 65535);
    if (!number)
        return Bad(option, text,
                   port0 ? "the port is a number from 0 to 65535" : "the port is a number from 1 to 65535");
    *host = name;
    *port = static_cast<uint16_t>(*number);
    return {};
}

std::string TakeSeconds(const kivhost::Given&, const CLI::App& app, const char* option, const std::string& text,
                        uint32_t low, uint32_t high, int* into)
{
    if (!IsGiven(app, option))
        return {};
    const auto value = ParseOptionNumber(text, low, high);
    if (!value)
        return Bad(option, text, "give a number from " + std::to_string(low) + " to " + std::to_string(high));
    *into = static_cast<int>(*value);
    return {};
}

// A prefix of topics kivgate publishes to: no wildcard, no trailing /, not the broker's own.
std::string TopicPrefixProblem(const char* option, const std::string& text)
{
    if (text.find_first_of("+#") != std::string::npos || text.back() == '/')
        return Bad(option, text, "a topic prefix holds no + or # and does not end in /");
    if (text.front() == '$')
        return Bad(option, text, "topics beginning with $ are the broker's own");
    if (const std::string why = TopicProblem(text); !why.empty())
        return Bad(option, text, why);
    return {};
}

std::string TakeHa(const GateGiven& g, const CLI::App& app, GateOptions& gate)
{
    gate.haDiscovery = g.haDiscovery;
    if (!IsGiven(app, "--ha-prefix"))
        return {};
    if (!g.haDiscovery)
        return "--ha-prefix applies to Home Assistant discovery, which is off without --ha-discovery";
    if (std::string e = TopicPrefixProblem("--ha-prefix", g.haPrefix); !e.empty())
        return e;
    gate.haPrefix = g.haPrefix;
    return {};
}

std::string TakeGate(const kivhost::Given& given, const GateGiven& g, const CLI::App& app,
                     const char* (*getEnv)(const char*), GateOptions& gate)
{
    if (IsGiven(app, "--modbus-listen"))
        if (std::string e =
                TakeHostPort("--modbus-listen", g.modbusListen, &gate.modbusListenHost, &gate.modbusListenPort, true);
            !e.empty())
            return e;
    if (IsGiven(app, "--modbus-unit")) {
        std::string why;
        const std::optional<ModbusUnits> units = ModbusUnits::Parse(g.modbusUnit, &why);
        if (!units)
            return Bad("--modbus-unit", g.modbusUnit, why);
        gate.modbusUnits = *units;
    }
    if (std::string e = TakeSeconds(given, app, "--modbus-clients", g.modbusClients, 1, 256, &gate.modbusClients);
        !e.empty())
        return e;
    if (std::string e = TakeSeconds(given, app, "--modbus-idle", g.modbusIdle, 1, 86400, &gate.modbusIdleS); !e.empty())
        return e;
    if (std::string e =
            TakeSeconds(given, app, "--modbus-request-time", g.modbusRequestTime, 1, 3600, &gate.modbusRequestS);
        !e.empty())
        return e;
    if (IsGiven(app, "--log-level")) {
        const std::pair<const char*, LogLevel> levels[] = {
            {"error", LogLevel::Error}, {"warn", LogLevel::Warn}, {"info", LogLevel::Info}, {"debug", LogLevel::Debug}};
        const auto* found = std::find_if(std::begin(levels), std::end(levels),
                                         [&g](const auto& level) { return g.logLevel == level.first; });
        if (found == std::end(levels))
            return Bad("--log-level", g.logLevel, "give error, warn, info or debug");
        gate.logLevel = found->second;
    }
    gate.modbusEnabled = !g.noModbus;
    if (g.noModbus)
        for (const char* unused :
             {"--modbus-listen", "--modbus-unit", "--modbus-clients", "--modbus-idle", "--modbus-request-time"})
            if (IsGiven(app, unused))
                return std::string("--no-modbus and ") + unused + " contradict each other: leave out one";
    if (IsGiven(app, "--http"))
        if (std::string e = TakeHostPort("--http", g.http, &gate.httpHost, &gate.httpPort, true); !e.empty())
            return e;
    gate.httpEnabled = !g.noHttp;
    if (g.noHttp && IsGiven(app, "--http"))
        return "--no-http and --http contradict each other: leave out one";
    if (IsGiven(app, "--mqtt"))
        if (std::string e = TakeHostPort("--mqtt", g.mqtt, &gate.mqttHost, &gate.mqttPort); !e.empty())
            return e;
    if (IsGiven(app, "--mqtt-prefix")) {
        // Said once here, not on every row of the tag file whose topic it begins.
        if (std::string e = TopicPrefixProblem("--mqtt-prefix", g.mqttPrefix); !e.empty())
            return e;
        gate.mqttPrefix = g.mqttPrefix;
    }
    if (IsGiven(app, "--mqtt-client-id"))
        if (const std::string why = ClientIdProblem(g.mqttClientId); !why.empty())
            return Bad("--mqtt-client-id", g.mqttClientId, why);
    gate.mqttClientId = g.mqttClientId;
    gate.mqttUser = g.mqttUser;
    gate.mqttCaFile = g.mqttCaFile;
    gate.mqttCertFile = g.mqttCertFile;
    gate.mqttKeyFile = g.mqttKeyFile;
    if (IsGiven(app, "--mqtt-payload")) {
        if (g.mqttPayload != "json" && g.mqttPayload != "value")
            return Bad("--mqtt-payload", g.mqttPayload, "use json or value");
        gate.mqttPayloadValue = g.mqttPayload == "value";
    }
    if (std::string e = TakeSeconds(given, app, "--mqtt-refresh", g.mqttRefresh, 1, 86400, &gate.mqttRefreshS);
        !e.empty())
        return e;
    // A service's credentials are read only where MQTT is on.
    if (gate.mqttPort != 0 || IsGiven(app, "--mqtt-password-file"))
        if (std::string e =
                TakeSecrets(IsGiven(app, "--mqtt-password-file") ? &g.mqttPasswordFile : nullptr, getEnv, gate);
            !e.empty())
            return e;
    if (std::string e = TakeHa(g, app, gate); !e.empty())
        return e;
    if (gate.mqttPort == 0)
        for (const char* unused :
             {"--mqtt-prefix", "--mqtt-client-id", "--mqtt-user", "--mqtt-password-file", "--mqtt-cafile",
              "--mqtt-certfile", "--mqtt-keyfile", "--mqtt-payload", "--mqtt-refresh", "--ha-discovery", "--ha-prefix"})
            if (IsGiven(app, unused))
                return std::string(unused) + " applies to MQTT, which is off without --mqtt HOST:PORT";
    gate.allowWrites = g.allowWrites;
    if (IsGiven(app, "--max-age") && g.maxAge != "auto")
        if (std::string e = TakeSeconds(given, app, "--max-age", g.maxAge, 1, 86400, &gate.maxAgeS); !e.empty())
            return Bad("--max-age", g.maxAge, "give auto, or seconds from 1 to 86400");
    if (std::string e = TakeSeconds(given, app, "--write-timeout", g.writeTimeout, 10, 600000, &gate.writeTimeoutMs);
        !e.empty())
        return e;
    return {};
}

}  // namespace

GateCommandLine ParseGateCommandLine(const std::vector<std::string>& args, const char* (*getEnv)(const char*))
{
    auto fail = [](std::string message) { return GateCommandLine{std::nullopt, std::move(message)}; };
    if (getEnv == nullptr)
        getEnv = [](const char* name) -> const char* { return std::getenv(name); };

    kivhost::Given given;
    GateGiven gateGiven;
    CLI::App app("kivgate: the stations of a line served over Modbus TCP and MQTT, from one scan", "kivgate");
    app.set_help_flag("-h,--help", "this help");
    app.allow_windows_style_options(false);
    app.footer("Examples:\n  kivgate examples/pump-station.csv --plan\n"
               "  kivgate --port ttyUSB0 examples/pump-station.csv --mqtt 127.0.0.1:1883\n"
               "Exit status: 0 stopped by a signal, 2 no driver or port, 64 a usage or tag file error.");
    kivhost::DeclareLineOptions(app, given);
    Declare(app, given, gateGiven);
    kivhost::RefuseEmptyValues(app);
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        GateRun run;
        run.what = GateRun::What::Help;
        run.helpText = app.help();
        return {run, {}};
    } catch (const CLI::ParseError& error) {
        return fail(error.what());
    }

    GateRun run;
    kivhost::Options& options = run.options;
    options.command = kivhost::Command::Scan;
    options.intervalMs = kivhost::DEFAULT_INTERVAL_MS;
    if (IsGiven(app, "--lib"))
        options.library = given.library;
    if (given.version) {
        if (!given.tagFile.empty())
            return fail("--version takes no tag file; try kivgate --version");
        run.what = GateRun::What::Version;
        return {run, {}};
    }
    if (given.tagFile.empty())
        return fail("kivgate takes a tag file, e.g. kivgate examples/pump-station.csv --plan");
    options.scan.tagFile = given.tagFile;
    if (std::string error = kivhost::TakeCycles(given, app, options); !error.empty())
        return fail(error);
    if (IsGiven(app, "--max-gap")) {
        std::string why;
        const auto gap = kivhost::ParseMaxGap(given.maxGap, &why);
        if (!gap)
            return fail(why);
        options.scan.maxGap = *gap;
    }
    if (std::string error = kivhost::TakeRetryDown(given, app, options); !error.empty())
        return fail(error);
    if (std::string error = kivhost::TakeLine(given, app, options); !error.empty())
        return fail(error);
    if (std::string error = TakeGate(given, gateGiven, app, getEnv, run.gate); !error.empty())
        return fail(error);
    run.gate.intervalMs = static_cast<int>(options.intervalMs);
    run.what = given.plan ? GateRun::What::Plan : GateRun::What::Serve;
    if (run.what == GateRun::What::Serve && !options.line.portGiven)
        return fail("no port given: add --port NAME, e.g. --port ttyUSB0; or --plan to see the map without one");
    return {run, {}};
}

}  // namespace kivgate
