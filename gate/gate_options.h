// The gateway's own options, as the command line gives them. The servers
// take their part of it; the line's options stay with the scan (ScanOptions).
#ifndef KIVGATE_GATE_OPTIONS_H
#define KIVGATE_GATE_OPTIONS_H

#include <cstdint>
#include <string>

#include "fieldkit/tool_options.h"
#include "gate/gate_log.h"
#include "gate/modbus_units.h"

namespace kivgate {

// The gateway's defaults, written once: the options below start from them
// and kivgate --help names them. The man page and the README say them in
// their own words.
inline constexpr const char* DEFAULT_MODBUS_HOST = "127.0.0.1";
constexpr uint16_t DEFAULT_MODBUS_PORT = 1502;
constexpr int DEFAULT_MODBUS_CLIENTS = 8;
constexpr int DEFAULT_MODBUS_IDLE_S = 60;
constexpr int DEFAULT_MODBUS_REQUEST_S = 5;
inline constexpr const char* DEFAULT_MQTT_PREFIX = "kivgate";
constexpr int DEFAULT_MQTT_REFRESH_S = 60;
inline constexpr const char* DEFAULT_HA_PREFIX = "homeassistant";
constexpr int DEFAULT_WRITE_TIMEOUT_MS = 3000;
// The status page: this machine only unless asked, as it has no authentication.
inline constexpr const char* DEFAULT_HTTP_HOST = "127.0.0.1";
constexpr uint16_t DEFAULT_HTTP_PORT = 8502;

struct GateOptions {
    // Modbus TCP
    std::string modbusListenHost = DEFAULT_MODBUS_HOST;
    uint16_t modbusListenPort = DEFAULT_MODBUS_PORT;
    int modbusClients = DEFAULT_MODBUS_CLIENTS;
    int modbusIdleS = DEFAULT_MODBUS_IDLE_S;        // from a connection's last whole request to its end
    int modbusRequestS = DEFAULT_MODBUS_REQUEST_S;  // from a request's first byte to its end, at most
    bool modbusEnabled = true;
    ModbusUnits modbusUnits;  // the unit ids answered; any by default

    // MQTT; mqttPort 0: no broker
    std::string mqttHost;
    uint16_t mqttPort = 0;
    std::string mqttPrefix = DEFAULT_MQTT_PREFIX;
    std::string mqttClientId;  // "" : kivgate-HOSTNAME-PREFIX
    std::string mqttUser;
    std::string mqttPassword;  // from a file or the environment, never logged
    std::string mqttCaFile;
    std::string mqttCertFile;
    std::string mqttKeyFile;
    bool mqttPayloadValue = false;              // a bare value instead of the JSON object
    int mqttRefreshS = DEFAULT_MQTT_REFRESH_S;  // every value at least this often
    bool haDiscovery = false;                   // Home Assistant's discovery configs
    std::string haPrefix = DEFAULT_HA_PREFIX;

    // The status page and metrics
    std::string httpHost = DEFAULT_HTTP_HOST;
    uint16_t httpPort = DEFAULT_HTTP_PORT;  // 0: any free one, told in the log
    bool httpEnabled = true;

    bool allowWrites = false;                                         // rw tags may be written only with this
    int intervalMs = static_cast<int>(kivhost::DEFAULT_INTERVAL_MS);  // between scan cycles; 0: back to back

    int maxAgeS = 0;                                // a good value older is served stale; 0: from the cycles
    int writeTimeoutMs = DEFAULT_WRITE_TIMEOUT_MS;  // a write not sent by then is dropped
    LogLevel logLevel = LogLevel::Info;
};

}  // namespace kivgate

#endif  // KIVGATE_GATE_OPTIONS_H
