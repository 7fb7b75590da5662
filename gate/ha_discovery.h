// Home Assistant's MQTT discovery: one retained config per entity under
// <ha-prefix>/<component>/<node>/<object>/config, so that the gateway's tags
// appear in Home Assistant without a line of its configuration. Built once
// from the tags and options; the bridge only publishes them. No connection
// here.
//
// A word is a sensor, or a number when it may be written; a bit a
// binary_sensor, or a switch. A run is one entity per element (NAME_1 ...),
// read-only whatever its access: a command on TOPIC/set takes the whole
// array, which one entity cannot give. Every entity belongs to one device
// per gateway and is available while both the gateway and its station are.
#ifndef KIVGATE_HA_DISCOVERY_H
#define KIVGATE_HA_DISCOVERY_H

#include <string>
#include <string_view>
#include <vector>

#include "gate/gate_state.h"
#include "gate/mqtt_payload.h"
#include "scan/tag_list.h"

namespace kivgate {

struct HaSettings {
    std::string haPrefix = "homeassistant";
    std::string mqttPrefix = "kivgate";
    PayloadForm payload = PayloadForm::Json;
    bool allowWrites = false;
    std::string version;  // kivgate's, for the device's sw_version
};

// Text reduced to what discovery topics take: letters, digits, '_' and '-';
// any other byte becomes '_'.
std::string HaId(std::string_view text);
// The device's identifier, which each config carries: the gateway's own
// configs are told from another gateway's by it.
std::string HaDeviceId(std::string_view mqttPrefix);
// "<ha-prefix>/+/<node>/+/config": every config this node may have left.
std::string HaConfigFilter(const HaSettings& settings);

struct HaConfig {
    std::string topic;
    std::string payload;  // JSON
};
std::vector<HaConfig> HaConfigs(const std::vector<GateTag>& tags, const HaSettings& settings);

// Two tags (or a run's elements) whose names reduce to one object id would
// share a config and a unique id: each later one is refused, FILE:LINE.
std::vector<kivhost::TagFileError> HaObjectClashes(const std::vector<GateTag>& tags, const std::string& fileName);

// Whether a config's payload names deviceId among its device's identifiers.
bool HaConfigOfDevice(std::string_view payload, std::string_view deviceId);

}  // namespace kivgate

#endif  // KIVGATE_HA_DISCOVERY_H
