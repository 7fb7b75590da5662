// /api/status: the gateway, its stations, its tags and the last writes as
// one JSON document, what the status page shows and what a script may read.
#ifndef KIVGATE_STATUS_JSON_H
#define KIVGATE_STATUS_JSON_H

#include <optional>
#include <string>
#include <vector>

#include "common/line_settings.h"
#include "gate/gate_state.h"
#include "gate/station_history.h"
#include "gate/write_log.h"

namespace kivgate {

// What only the gateway's parts know, asked when a request comes.
struct GatewayFacts {
    std::string version;
    kivhost::LineOptions line;
    double uptimeSeconds = 0;
    struct Mqtt {
        std::string broker;  // host:port
        bool connected = false;
    };
    std::optional<Mqtt> mqtt;  // none: no MQTT
    struct Modbus {
        std::string listen;  // address:port
        size_t clients = 0;
    };
    std::optional<Modbus> modbus;  // none: no Modbus server
};

std::string StatusJson(const GatewayFacts& facts, const std::vector<GateTag>& tags, const Snapshot& snapshot,
                       const StationHistory& history, const WriteLog& writes, SteadyTime now,
                       WallTime wallNow = std::chrono::system_clock::now());

}  // namespace kivgate

#endif  // KIVGATE_STATUS_JSON_H
