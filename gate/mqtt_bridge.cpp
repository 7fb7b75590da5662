#include "mqtt_bridge.h"

#include <cerrno>
#include <cstring>

#include <mosquitto.h>

namespace kivgate {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// The first wait after a failed attempt, doubled up to the last, so a broker
// that is back is found soon and one that stays away is not hammered.
constexpr std::chrono::milliseconds FIRST_RETRY = 500ms;
constexpr std::chrono::milliseconds LAST_RETRY = 30s;
// How long a snapshot is waited for before the refresh and a reconnect are
// looked at again; also how soon Stop is noticed.
constexpr std::chrono::milliseconds PUBLISH_SLICE = 100ms;
// Stop waits this long for offline and the disconnect to leave.
constexpr std::chrono::milliseconds GOODBYE = 2s;

std::string MosquittoWhy(int rc, int savedErrno)
{
    if (rc == MOSQ_ERR_ERRNO)
        return std::strerror(savedErrno);
    return mosquitto_strerror(rc);
}

const char* OrNull(const std::string& text)
{
    return text.empty() ? nullptr : text.c_str();
}

// The parts of a station's diagnostics that make it worth publishing at once;
// the latency moves every cycle and waits for the refresh.
std::string StationKey(StationDiagnostics station)
{
    station.p50Ms = 0;
    station.p99Ms = 0;
    return StationPayload(station);
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
      sentTags_(tags.size())
{
    for (size_t i = 0; i < tags_.size(); ++i)
        setTopics_.emplace(tags_[i].topic + "/set", i);
}

MqttBridge::~MqttBridge()
{
    Stop();
    if (client_ != nullptr)
        mosquitto_destroy(client_);
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
    static std::once_flag initialised;
    std::call_once(initialised, [] { mosquitto_lib_init(); });

    client_ = mosquitto_new(OrNull(settings_.clientId), true, this);
    if (client_ == nullptr) {
        *why = std::string("cannot make an MQTT client: ") + std::strerror(errno);
        return false;
    }
    // Values are published from another thread than the network loop.
    mosquitto_threaded_set(client_, true);
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
    mosquitto_connect_callback_set(client_, &MqttBridge::OnConnect);
    mosquitto_disconnect_callback_set(client_, &MqttBridge::OnDisconnect);
    mosquitto_message_callback_set(client_, &MqttBridge::OnMessage);

    network_ = std::thread([this] { NetworkLoop(); });
    publisher_ = std::thread([this] { PublishLoop(); });
    results_ = std::thread([this] { ResultLoop(); });
    return true;
}

void MqttBridge::Stop()
{
    if (!network_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopAt_ = Clock::now();
        stopping_ = true;
    }
    wake_.notify_all();
    publisher_.join();
    results_.join();
    if (connected_) {
        Publish(statusTopic_, "offline", true, 1);
        mosquitto_disconnect(client_);
    }
    network_.join();
    connected_ = false;
}

void MqttBridge::NetworkLoop()
{
    std::chrono::milliseconds retry = FIRST_RETRY;
    std::string lastWhy;
    while (!stopping_) {
        const uint64_t connectsBefore = connects_;
        refused_.clear();
        int rc = mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, settings_.keepAliveS);
        int savedErrno = errno;
        while (rc == MOSQ_ERR_SUCCESS) {
            if (stopping_ && (!connected_ || Clock::now() - stopAt_ > GOODBYE))
                return;
            rc = mosquitto_loop(client_, static_cast<int>(PUBLISH_SLICE.count()), 1);
            savedErrno = errno;
        }
        if (stopping_)
            return;
        connected_ = false;
        if (connects_ != connectsBefore) {
            retry = FIRST_RETRY;  // it worked until now: try again soon
            lastWhy.clear();
        } else {
            // Said once, not at every attempt of a broker that stays away.
            const std::string why = refused_.empty() ? "not reachable: " + MosquittoWhy(rc, savedErrno) : refused_;
            if (why != lastWhy)
                log_("broker " + settings_.host + ":" + std::to_string(settings_.port) + " " + why + "; trying again");
            lastWhy = why;
        }
        if (!Pause(retry))
            return;
        retry = std::min(retry * 2, LAST_RETRY);
    }
}

void MqttBridge::OnConnect(mosquitto* client, void* self, int rc)
{
    auto* bridge = static_cast<MqttBridge*>(self);
    if (rc != 0) {
        // Said by the network loop, once, as a broker that is not reachable.
        bridge->refused_ = std::string("refused the connection: ") + mosquitto_connack_string(rc);
        return;
    }
    ++bridge->connects_;
    bridge->connected_ = true;
    bridge->log_("broker connected " + bridge->settings_.host + ":" + std::to_string(bridge->settings_.port));
    bridge->Publish(bridge->statusTopic_, "online", true, 1);
    // Every tag's set topic, so that a write that cannot be done is answered
    // rather than lost.
    for (const auto& [topic, tag] : bridge->setTopics_)
        mosquitto_subscribe(client, nullptr, topic.c_str(), 1);
    // The broker may have lost the retained values while we were away.
    bridge->republish_ = true;
}

void MqttBridge::OnDisconnect(mosquitto*, void* self, int rc)
{
    auto* bridge = static_cast<MqttBridge*>(self);
    const bool was = bridge->connected_.exchange(false);
    if (rc != 0 && was && !bridge->stopping_)
        bridge->log_("broker lost " + bridge->settings_.host + ":" + std::to_string(bridge->settings_.port) + ": " +
                     mosquitto_strerror(rc) + "; reconnecting");
}

void MqttBridge::OnMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    auto* bridge = static_cast<MqttBridge*>(self);
    const auto found = bridge->setTopics_.find(message->topic);
    if (found == bridge->setTopics_.end())
        return;
    const char* bytes = static_cast<const char*>(message->payload);
    bridge->HandleSet(found->second, std::string_view(bytes == nullptr ? "" : bytes, message->payloadlen));
}

void MqttBridge::HandleSet(size_t index, std::string_view payload)
{
    const GateTag& tag = tags_[index];
    if (!settings_.allowWrites)
        return Answer(index, {false, "refused: writes are not allowed (--allow-writes)"});
    if (!tag.writable)
        return Answer(index, {false, "refused: " + tag.tag.name + " is read-only"});
    SetPayload parsed = ParseSetPayload(payload, tag.tag.count, tag.tag.kind == kivhost::ValueKind::Bit);
    if (!parsed.why.empty())
        return Answer(index, {false, "bad payload: " + parsed.why});
    std::future<WriteResult> result =
        writes_.Submit(WriteRequest{index, 0, std::move(parsed.values), "mqtt " + tag.topic + "/set"});
    if (!result.valid())
        return Answer(index, {false, "refused: the write queue is full or closed"});
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
void MqttBridge::Answer(size_t index, const WriteResult& result)
{
    Publish(tags_[index].topic + "/set/result", ResultPayload(result), false, 1);
}

void MqttBridge::PublishLoop()
{
    uint64_t seen = 0;
    while (!stopping_) {
        const std::shared_ptr<const Snapshot> snapshot = snapshots_.WaitNewer(seen, PUBLISH_SLICE);
        // Seen even while the broker is away, or the wait would not wait:
        // the reconnect sends the latest whole.
        seen = snapshot->version;
        if (stopping_ || !connected_)
            continue;
        if (republish_.exchange(false)) {
            for (Sent& sent : sentTags_)
                sent.done = false;
            sentStations_.clear();
        }
        if (snapshot->cycle == 0 || snapshot->tags.size() != tags_.size())
            continue;
        PublishSnapshot(*snapshot);
    }
}

void MqttBridge::PublishSnapshot(const Snapshot& snapshot)
{
    const Clock::time_point now = Clock::now();
    for (size_t i = 0; i < tags_.size(); ++i) {
        const TagValue& value = snapshot.tags[i];
        // Not asked yet (the first cycle under way): nothing to say of it.
        if (value.quality == Quality::None)
            continue;
        Sent& sent = sentTags_[i];
        const bool changed = !sent.done || sent.values != value.values || sent.quality != value.quality;
        if (!changed && now - sent.at < settings_.refresh)
            continue;
        if (!Publish(tags_[i].topic, TagPayload(value, tags_[i].tag.count, settings_.payload), true, 0))
            continue;  // lost: everything goes again on the reconnect
        sent = Sent{true, value.values, value.quality, now};
    }
    for (const StationDiagnostics& station : snapshot.stations) {
        const std::string key = StationKey(station);
        auto found = sentStations_.find(station.station);
        if (found != sentStations_.end() && found->second.first == key &&
            now - found->second.second < settings_.refresh)
            continue;
        if (Publish(StationTopic(settings_.prefix, station.station), StationPayload(station), true, 0))
            sentStations_[station.station] = {key, now};
    }
}

bool MqttBridge::Publish(const std::string& topic, const std::string& payload, bool retain, int qos)
{
    const int rc = mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                                     qos, retain);
    return rc == MOSQ_ERR_SUCCESS;
}

bool MqttBridge::Pause(std::chrono::milliseconds upTo)
{
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, upTo, [&] { return stopping_.load(); });
    return !stopping_;
}

}  // namespace kivgate
