// What kivgate keeps retained on the broker, and what each snapshot changes
// of it: the tags' values (with bare values, each tag's quality beside it)
// and each station's diagnostics and availability. A change goes out with
// the snapshot that brings it; what did not change goes again every
// refresh, and everything after Forget. No connection here: the bridge
// hands a function that publishes.
#ifndef KIVGATE_MQTT_RETAINED_H
#define KIVGATE_MQTT_RETAINED_H

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "gate/gate_state.h"
#include "gate/mqtt_payload.h"

namespace kivgate {

// The line's judgement as the MQTT side serves it, one function each, so
// that a rule of the line's (a staleness, a port's loss) reaches it in one
// place: a tag's quality, and a station's state while the port may be lost
// (since when, if it is).
Quality ServedQuality(const Snapshot& snapshot, size_t tag, SteadyTime now);
StationDiagnostics ServedStation(const StationDiagnostics& station, std::optional<WallTime> portLostSince);

// "PREFIX/stations/03/availability": online or offline, for dashboards.
std::string AvailabilityTopic(std::string_view prefix, int station);
// TOPIC/quality, beside a bare value: the quality's name.
std::string QualityTopic(std::string_view topic);

class MqttRetained {
public:
    using Clock = std::chrono::steady_clock;
    // Publishes one retained message; false when it could not, and it is
    // tried again with the next snapshot.
    using Send = std::function<bool(const std::string& topic, const std::string& payload)>;

    MqttRetained(const std::vector<GateTag>& tags, std::string prefix, PayloadForm form, std::chrono::seconds refresh);

    void Publish(const Snapshot& snapshot, Clock::time_point now, const Send& send);
    // The broker may have lost what it held (it came back, or this is a new
    // connection): everything goes again with the next snapshot.
    void Forget();
    // Every station published so far as offline: on a clean stop, after
    // which no station is served.
    void StationsOffline(const Send& send);

private:
    // key: what makes a message new (a value's time does not); payload is
    // made only when the message is due.
    void Offer(const std::string& topic, const std::string& key, const std::function<std::string()>& payload,
               Clock::time_point now, const Send& send);
    void PublishTag(const Snapshot& snapshot, size_t index, Clock::time_point now, const Send& send);

    struct Sent {
        std::string key;
        Clock::time_point at{};
    };

    const std::vector<GateTag>& tags_;
    std::vector<std::string> qualityTopics_;
    std::string prefix_;
    PayloadForm form_;
    std::chrono::seconds refresh_;
    std::map<std::string, Sent> sent_;  // by topic: what the broker holds
    std::set<int> stations_;
    std::optional<WallTime> portLostSince_;
};

}  // namespace kivgate

#endif  // KIVGATE_MQTT_RETAINED_H
