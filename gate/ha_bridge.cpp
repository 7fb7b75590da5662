// The bridge's Home Assistant side: the discovery configs published at each
// connect, and those of tags no longer in the file cleared after it
// (ha_sweep.h). libmosquitto queues what is published here; nothing waits
// on the broker.
#include <mosquitto.h>

#include "gate/mqtt_bridge.h"

namespace kivgate {

// On libmosquitto's thread, in the connect's callback: the configs before
// online, so that Home Assistant knows the entities when they turn
// available.
void MqttBridge::PublishDiscovery()
{
    if (!settings_.haDiscovery)
        return;
    for (const HaConfig& config : haConfigs_)
        Publish(config.topic, config.payload, true, 1);
    haSweep_.Begin(HaSweep::Clock::now());
    mosquitto_subscribe(client_, nullptr, haFilter_.c_str(), 1);
}

// On the publishing thread, once the sweep's window is over.
void MqttBridge::ClearStaleConfigs()
{
    HaSweep::Done done;
    if (!settings_.haDiscovery || !haSweep_.TakeDone(HaSweep::Clock::now(), &done))
        return;
    mosquitto_unsubscribe(client_, nullptr, haFilter_.c_str());
    for (const std::string& topic : done.stale)
        Publish(topic, "", true, 1);
    if (!done.stale.empty())
        log_("Home Assistant: cleared " + std::to_string(done.stale.size()) +
             " discovery configs of tags no longer in the tag file");
    if (done.over > 0)
        log_("Home Assistant: " + std::to_string(done.over) + " more stale discovery configs than the " +
             std::to_string(HaSweep::MAX) + " cleared at one start: the rest at a later start");
}

}  // namespace kivgate
