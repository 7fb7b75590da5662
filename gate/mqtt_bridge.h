// kivgate's MQTT side: the tags' values as retained messages, the stations'
// diagnostics, the gateway's availability, and writes through TOPIC/set.
// It reads the snapshots the line's owner publishes and hands writes over
// through the queue: the scan never waits on the broker. libmosquitto's own
// thread keeps the connection, and its reconnect delay paces the attempts.
#ifndef KIVGATE_MQTT_BRIDGE_H
#define KIVGATE_MQTT_BRIDGE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gate/event_log.h"
#include "gate/gate_metrics.h"
#include "gate/gate_state.h"
#include "gate/ha_discovery.h"
#include "gate/ha_sweep.h"
#include "gate/mqtt_identity.h"
#include "gate/mqtt_payload.h"
#include "gate/mqtt_retained.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;
typedef struct mqtt5__property mosquitto_property;

namespace kivgate {

struct MqttSettings {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string prefix = "kivgate";
    std::string clientId;  // empty: DefaultClientId(this host, prefix)
    std::string user;      // empty: none
    std::string password;  // never logged
    std::string cafile;    // TLS when any of the three is given
    std::string certfile;
    std::string keyfile;
    PayloadForm payload = PayloadForm::Json;
    std::chrono::seconds refresh{60};  // every value again at least this often
    bool allowWrites = false;
    int keepAliveS = 30;
    // Home Assistant's discovery configs (ha_discovery.h), and kivgate's
    // version for them.
    bool haDiscovery = false;
    std::string haPrefix = "homeassistant";
    std::string version;
    GateMetrics* metrics = nullptr;  // none: not counted
};

class MqttBridge {
public:
    // Called from the bridge's threads, one line an event at its level,
    // without a time stamp; never given the password.
    using Log = EventLog;
    MqttBridge(MqttSettings settings, const std::vector<GateTag>& tags, SnapshotStore& snapshots, WriteQueue& writes,
               Log log);
    ~MqttBridge();
    MqttBridge(const MqttBridge&) = delete;
    MqttBridge& operator=(const MqttBridge&) = delete;

    // Sets the client up and starts connecting; false with why when the
    // settings cannot work (a topic, TLS files). A broker that is not there
    // yet is tried again and again, not a failure.
    bool Start(std::string* why);
    // Publishes offline, disconnects and ends the threads.
    void Stop();

    const std::string& ClientId() const { return clientId_; }
    // Connected to the broker now, from any thread.
    bool Connected() const { return connected_; }

private:
    struct PendingWrite {
        size_t tag = 0;
        std::future<WriteResult> result;
    };

    static void OnConnect(mosquitto* client, void* self, int rc);
    static void OnDisconnect(mosquitto* client, void* self, int rc);
    static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message);
    static void OnLibraryLog(mosquitto* client, void* self, int level, const char* text);

    void Connect();
    void PublishLoop();
    // Once libmosquitto's thread ended for good and its delay is over:
    // starts it again on a new attempt (mqtt_connection.cpp says why).
    void Restart();
    // Called on libmosquitto's thread as it ends for good: the publisher
    // restarts it after delay.
    void EndedForGood(std::chrono::seconds delay);
    void ResultLoop();
    void HandleSet(size_t tag, std::string_view payload);
    void KeepOnline(const mosquitto_message& message);
    // refused: before it reached the queue.
    void Answer(size_t tag, const WriteResult& result, bool refused = false);
    // Home Assistant's configs, at each connect; and those of tags gone
    // from the file cleared once the moment of collecting them is over.
    void PublishDiscovery();
    void ClearStaleConfigs();
    bool Publish(const std::string& topic, const std::string& payload, bool retain, int qos);
    // Why an attempt failed (the whole sentence), and what comes next; said
    // once until one succeeds, not at every attempt of a broker that stays
    // away.
    void SayFailure(const std::string& why, const char* next);
    // "host:port"
    std::string Broker() const;

    MqttSettings settings_;
    std::string clientId_;
    const std::vector<GateTag>& tags_;
    SnapshotStore& snapshots_;
    WriteQueue& writes_;
    Log log_;
    std::string statusTopic_;
    std::map<std::string, size_t> setTopics_;
    std::vector<HaConfig> haConfigs_;  // none without discovery
    std::string haFilter_;
    HaSweep haSweep_;

    mosquitto* client_ = nullptr;
    bool looping_ = false;  // our threads run
    std::atomic<bool> connected_{false};
    std::atomic<bool> republish_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> ended_{false};                     // libmosquitto's thread, for good
    std::chrono::steady_clock::time_point restartAt_{};  // with mutex_: when it is started again
    mosquitto_property* connectProperties_ = nullptr;
    std::mutex mutex_;  // for the waits and the pending writes
    std::condition_variable wake_;
    std::deque<PendingWrite> pending_;

    // Only libmosquitto's thread touches these.
    std::chrono::steady_clock::time_point acceptedAt_{};
    ReconnectBackoff backoff_;
    std::string lastWhy_;                 // of the last attempt that failed, said once
    bool refused_ = false;                // by the broker, this attempt: said already
    bool v5_ = false;                     // the protocol this attempt speaks
    std::set<std::string> retainedSets_;  // set topics whose retained command was said

    // Only the publishing thread touches this, until it has ended.
    MqttRetained retained_;

    std::thread publisher_;
    std::thread results_;
};

}  // namespace kivgate

#endif  // KIVGATE_MQTT_BRIDGE_H
