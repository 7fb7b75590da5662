#include "gate/mqtt_bridge.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "gate/mqtt_failure.h"

namespace kivgate {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// How long a snapshot is waited for before a reconnect's republishing and
// the refresh are looked at again; also how soon Stop is noticed.
constexpr std::chrono::milliseconds PUBLISH_SLICE = 100ms;

// The largest packet kivgate takes, said in its MQTT 5 CONNECT: a set
// payload of 64 KB under a topic of up to 64 KB, with room for the header.
// A broker that speaks MQTT 5 drops a larger message for kivgate rather than
// send it, so no hostile publisher makes kivgate read megabytes.
constexpr uint32_t MAX_PACKET = 2 * 65536 + 1024;

const char* OrNull(const std::string& text)
{
    return text.empty() ? nullptr : text.c_str();
}

HaSettings HaSettingsOf(const MqttSettings& settings)
{
    return HaSettings{settings.haPrefix, settings.prefix, settings.payload, settings.allowWrites, settings.version};
}

}  // namespace

MqttBridge::MqttBridge(MqttSettings settings, const std::vector<GateTag>& tags, SnapshotStore& snapshots,
                       WriteQueue& writes, Log log)
    : settings_(std::move(settings)),
      tags_(tags),
      snapshots_(snapshots),
      writes_(writes),
      log_(std::move(log)),
      statusTopic_(settings_.prefix + "/status"),
      haConfigs_(settings_.haDiscovery ? HaConfigs(tags, HaSettingsOf(settings_)) : std::vector<HaConfig>{}),
      haFilter_(HaConfigFilter(HaSettingsOf(settings_))),
      haSweep_(haConfigs_, HaDeviceId(settings_.prefix)),
      retained_(tags, settings_.prefix, settings_.payload, settings_.refresh)
{
    for (size_t i = 0; i < tags_.size(); ++i)
        setTopics_.emplace(tags_[i].topic + "/set", i);
}

MqttBridge::~MqttBridge()
{
    Stop();
    if (client_ != nullptr)
        mosquitto_destroy(client_);
    mosquitto_property_free_all(&connectProperties_);
}

bool MqttBridge::Start(std::string* why)
{
    for (const GateTag& tag : tags_) {
        const std::string problem = TopicProblem(tag.topic);
        if (!problem.empty()) {
            *why = "tag " + tag.tag.name + ": " + problem;
            return false;
        }
    }
    if (const std::string problem = TopicProblem(statusTopic_); !problem.empty()) {
        *why = "the MQTT prefix: " + problem;
        return false;
    }
    for (const HaConfig& config : haConfigs_)
        if (const std::string problem = TopicProblem(config.topic); !problem.empty()) {
            *why = "Home Assistant discovery: " + problem;
            return false;
        }
    static std::once_flag initialised;
    std::call_once(initialised, [] { mosquitto_lib_init(); });

    clientId_ = settings_.clientId.empty() ? DefaultClientId(HostName(), settings_.prefix) : settings_.clientId;
    if (const std::string problem = ClientIdProblem(clientId_); !problem.empty()) {
        *why = "the MQTT client id: " + problem;
        return false;
    }
    client_ = mosquitto_new(clientId_.c_str(), true, this);
    if (client_ == nullptr) {
        *why = std::string("cannot make an MQTT client: ") + std::strerror(errno);
        return false;
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (!settings_.user.empty())
        rc = mosquitto_username_pw_set(client_, settings_.user.c_str(), OrNull(settings_.password));
    if (rc != MOSQ_ERR_SUCCESS) {
        *why = std::string("the MQTT user name: ") + mosquitto_strerror(rc);
        return false;
    }
    if (!settings_.cafile.empty() || !settings_.certfile.empty() || !settings_.keyfile.empty()) {
        rc = mosquitto_tls_set(client_, OrNull(settings_.cafile), nullptr, OrNull(settings_.certfile),
                               OrNull(settings_.keyfile), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            *why = std::string("MQTT over TLS: ") + mosquitto_strerror(rc) +
                   " (a CA file is needed, and a key file with a certificate file; all readable)";
            return false;
        }
    }
    static const char offline[] = "offline";
    rc = mosquitto_will_set(client_, statusTopic_.c_str(), sizeof offline - 1, offline, 1, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        *why = std::string("the MQTT last will: ") + mosquitto_strerror(rc);
        return false;
    }
    v5_ = true;
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    rc = mosquitto_property_add_int32(&connectProperties_, MQTT_PROP_MAXIMUM_PACKET_SIZE, MAX_PACKET);
    if (rc != MOSQ_ERR_SUCCESS) {
        *why = std::string("the MQTT packet bound: ") + mosquitto_strerror(rc);
        return false;
    }
    mosquitto_connect_callback_set(client_, &MqttBridge::OnConnect);
    mosquitto_disconnect_callback_set(client_, &MqttBridge::OnDisconnect);
    mosquitto_message_callback_set(client_, &MqttBridge::OnMessage);
    mosquitto_log_callback_set(client_, &MqttBridge::OnLibraryLog);
    mosquitto_reconnect_delay_set(client_, ReconnectBackoff::FIRST_S, ReconnectBackoff::LAST_S, true);

    log_.Broker(BrokerState::Away);
    looping_ = true;
    publisher_ = std::thread([this] {
        Connect();
        PublishLoop();
    });
    results_ = std::thread([this] { ResultLoop(); });
    return true;
}

void MqttBridge::Stop()
{
    if (!looping_)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    publisher_.join();
    results_.join();
    if (connected_) {
        retained_.StationsOffline(
            [this](const std::string& topic, const std::string& payload) { return Publish(topic, payload, true, 1); });
        Publish(statusTopic_, "offline", true, 1);
    }
    // What is queued goes before the goodbye; the thread ends once it is sent.
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    looping_ = false;
    connected_ = false;
}

std::string MqttBridge::Broker() const
{
    return settings_.host + ":" + std::to_string(settings_.port);
}

void MqttBridge::OnMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    auto* bridge = static_cast<MqttBridge*>(self);
    if (bridge->statusTopic_ == message->topic)
        return bridge->KeepOnline(*message);
    const auto found = bridge->setTopics_.find(message->topic);
    if (found == bridge->setTopics_.end())
        return bridge->haSweep_.Offer(message->topic,
                                      std::string_view(static_cast<const char*>(message->payload), message->payloadlen),
                                      message->retain);
    // The broker hands a retained command to every new subscription: done,
    // it would be written again at every start and reconnect, over what was
    // set since.
    if (message->retain) {
        if (bridge->retainedSets_.insert(found->first).second)
            bridge->log_("a retained set command on " + found->first +
                         " was ignored: publish set commands without retain");
        return;
    }
    // An empty message clears what the broker retains: no command itself.
    if (message->payloadlen == 0)
        return;
    const char* bytes = static_cast<const char*>(message->payload);
    bridge->HandleSet(found->second, std::string_view(bytes == nullptr ? "" : bytes, message->payloadlen));
}

// What the broker held at our subscription comes flagged retained and is
// what our own "online" replaces anyway; a live message that is not ours
// was published over it.
void MqttBridge::KeepOnline(const mosquitto_message& message)
{
    const std::string_view payload(static_cast<const char*>(message.payload), message.payloadlen);
    if (message.retain || payload == "online" || stopping_ || !connected_)
        return;
    log_.Warn("another client published " + Quoted(payload) + " to " + statusTopic_ + ": put online back");
    Publish(statusTopic_, "online", true, 1);
}

void MqttBridge::HandleSet(size_t index, std::string_view payload)
{
    const GateTag& tag = tags_[index];
    const std::string from = "mqtt " + tag.topic + "/set";
    // Answered on TOPIC/set/result, and logged: MQTT names no publisher, so the topic is who asked.
    const auto refuse = [&](const std::string& why, const std::string& answer) {
        log_.WriteRefused("write to " + tag.tag.name + " from " + from + " refused: " + why);
        Answer(index, {false, answer}, true);
    };
    if (!settings_.allowWrites)
        return refuse("writes are not allowed (--allow-writes)", "refused: writes are not allowed (--allow-writes)");
    if (!tag.writable)
        return refuse(tag.tag.name + " is read-only", "refused: " + tag.tag.name + " is read-only");
    SetPayload parsed = ParseSetPayload(payload, tag.tag.count, tag.tag.kind == kivhost::ValueKind::Bit, tag.format);
    if (!parsed.why.empty())
        return refuse("bad payload: " + parsed.why, "bad payload: " + parsed.why);
    std::future<WriteResult> result = writes_.Submit(WriteRequest{index, 0, std::move(parsed.values), from});
    if (!result.valid())
        return refuse("the write queue is full or closed", "refused: the write queue is full or closed");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_.push_back(PendingWrite{index, std::move(result)});
    }
    wake_.notify_all();
}

void MqttBridge::ResultLoop()
{
    for (;;) {
        PendingWrite next;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || !pending_.empty(); });
            if (stopping_)
                return;  // the line's owner answers what it still holds when it closes
            next = std::move(pending_.front());
            pending_.pop_front();
        }
        while (next.result.wait_for(PUBLISH_SLICE) != std::future_status::ready)
            if (stopping_)
                return;
        Answer(next.tag, next.result.get());
    }
}

// The line's owner logs the result, naming the topic it came from.
void MqttBridge::Answer(size_t index, const WriteResult& result, bool refused)
{
    if (settings_.metrics)
        settings_.metrics->MqttSet(refused ? "refused" : result.done ? "done" : "failed");
    Publish(tags_[index].topic + "/set/result", ResultPayload(result), false, 1);
}

void MqttBridge::PublishLoop()
{
    const MqttRetained::Send send = [this](const std::string& topic, const std::string& payload) {
        return Publish(topic, payload, true, 0);
    };
    uint64_t seen = 0;
    while (!stopping_) {
        // Every snapshot as it comes: the line's owner publishes one after
        // each block, so a change goes out as soon as its block is read.
        const std::shared_ptr<const Snapshot> snapshot = snapshots_.WaitNewer(seen, PUBLISH_SLICE);
        // Seen even while the broker is away, or the wait would not wait:
        // the reconnect sends the latest whole.
        seen = snapshot->version;
        if (ended_) {
            std::unique_lock<std::mutex> lock(mutex_);
            const bool due = Clock::now() >= restartAt_;
            lock.unlock();
            if (due)
                Restart();
        }
        if (stopping_ || !connected_)
            continue;
        ClearStaleConfigs();
        if (republish_.exchange(false))
            retained_.Forget();
        retained_.Publish(*snapshot, Clock::now(), send);
    }
}

bool MqttBridge::Publish(const std::string& topic, const std::string& payload, bool retain, int qos)
{
    const int rc = mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                     qos, retain);
    if (rc == MOSQ_ERR_SUCCESS && settings_.metrics)
        settings_.metrics->MqttPublished();
    return rc == MOSQ_ERR_SUCCESS;
}

}  // namespace kivgate
