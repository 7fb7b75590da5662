// The gateway's own options, as the command line gives them. The servers
// take their part of it; the line's options stay with the scan (ScanOptions).
#ifndef KIVGATE_GATE_OPTIONS_H
#define KIVGATE_GATE_OPTIONS_H

#include <cstdint>
#include <string>

#include "gate/gate_log.h"

namespace kivgate {

struct GateOptions {
    // Modbus TCP
    std::string modbusListenHost = "127.0.0.1";
    uint16_t modbusListenPort = 1502;
    int modbusClients = 8;
    int modbusIdleS = 60;    // from a connection's last whole request to its end
    int modbusRequestS = 5;  // from a request's first byte to its end, at most
    bool modbusEnabled = true;

    // MQTT; mqttPort 0: no broker
    std::string mqttHost;
    uint16_t mqttPort = 0;
    std::string mqttPrefix = "kivgate";
    std::string mqttClientId;  // "" : kivgate-HOSTNAME-PREFIX
    std::string mqttUser;
    std::string mqttPassword;  // from a file or the environment, never logged
    std::string mqttCaFile;
    std::string mqttCertFile;
    std::string mqttKeyFile;
    bool mqttPayloadValue = false;  // a bare value instead of the JSON object
    int mqttRefreshS = 60;          // every value at least this often

    bool allowWrites = false;  // rw tags may be written only with this
    int intervalMs = 0;        // between scan cycles; 0: back to back

    int maxAgeS = 0;            // a good value older is served stale; 0: from the cycles
    int writeTimeoutMs = 3000;  // a write not sent by then is dropped
    LogLevel logLevel = LogLevel::Info;
};

}  // namespace kivgate

#endif  // KIVGATE_GATE_OPTIONS_H
