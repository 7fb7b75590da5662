// How the bridge keeps its connection to the broker: the first connect,
// what libmosquitto's callbacks say of each attempt and loss, and starting
// libmosquitto's thread again where it ends for good.
//
// One reconnect loop, libmosquitto's own (mosquitto_loop_start, paced by
// mosquitto_reconnect_delay_set). It ends for good in two cases, and is then
// started again, once: after a DISCONNECT from an MQTT 5 broker (its
// handling marks the client disconnected, which the loop takes as a
// disconnect asked for: it returns instead of reconnecting), and after an
// MQTT 5 CONNECT refused by a 3.1.1 broker (a protocol error, which ends the
// loop). A thread cannot join and start itself, so the publisher does it,
// when the delay libmosquitto was given is over: libmosquitto waits only
// between failed attempts, and a broker that takes the session away at
// once (another client with the same id) would otherwise be knocked on at
// once, for ever. After the start, the attempts are libmosquitto's again.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include "gate/mqtt_bridge.h"
#include "gate/mqtt_failure.h"

namespace kivgate {

using Clock = std::chrono::steady_clock;

namespace {

std::string Seconds(Clock::duration duration)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(duration).count());
    return text;
}

}  // namespace

// Not async: only the blocking call takes the CONNECT's properties, which
// libmosquitto sends again at every reconnect; on this thread, so that a
// slow first connect keeps neither the start nor the Modbus side waiting.
// libmosquitto's thread comes after it, and tries again when it failed.
void MqttBridge::Connect()
{
    const int rc = mosquitto_connect_bind_v5(client_, settings_.host.c_str(), settings_.port, settings_.keepAliveS,
                                             nullptr, v5_ ? connectProperties_ : nullptr);
    const int savedErrno = errno;
    if (rc != MOSQ_ERR_SUCCESS)
        SayFailure(AttemptFailure(Broker(), rc, savedErrno), TRYING_AGAIN);
    if (stopping_)
        return;
    if (const int started = mosquitto_loop_start(client_); started != MOSQ_ERR_SUCCESS)
        log_.Error(std::string("cannot start the MQTT client's thread: ") + mosquitto_strerror(started));
}

void MqttBridge::SayFailure(const std::string& why, const char* next)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (why == lastWhy_)
            return;
        lastWhy_ = why;
    }
    log_.Warn(why + next);
}

void MqttBridge::OnConnect(mosquitto* client, void* self, int rc)
{
    auto* bridge = static_cast<MqttBridge*>(self);
    if (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION && bridge->v5_) {
        // A 3.1.1 broker: speak its version from now on. libmosquitto's
        // thread ends at this refusal, so the publisher starts another.
        bridge->v5_ = false;
        mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        bridge->log_("broker " + bridge->Broker() + " speaks MQTT 3.1.1 only: messages are bounded at 64 KB " +
                     "after they arrive, not by the broker");
        bridge->EndedForGood(std::chrono::seconds(0));
        return;
    }
    if (rc != 0) {
        bridge->refused_ = true;
        bridge->SayFailure("broker " + bridge->Broker() + " " + RefusalWhy(rc, bridge->v5_, bridge->clientId_),
                           TRYING_AGAIN);
        return;
    }
    bridge->acceptedAt_ = Clock::now();
    {
        std::lock_guard<std::mutex> lock(bridge->mutex_);
        bridge->lastWhy_.clear();
    }
    bridge->connected_ = true;
    bridge->log_.Broker(BrokerState::Connected);
    if (bridge->settings_.metrics)
        bridge->settings_.metrics->MqttConnected(true);
    // Every tag's set topic, so that a write that cannot be done is answered
    // rather than lost; before online, which then says commands are taken.
    for (const auto& [topic, tag] : bridge->setTopics_)
        mosquitto_subscribe(client, nullptr, topic.c_str(), 1);
    // Our own availability too: another client that overwrites it would
    // otherwise leave every consumer thinking kivgate gone while it serves.
    mosquitto_subscribe(client, nullptr, bridge->statusTopic_.c_str(), 1);
    bridge->PublishDiscovery();
    bridge->Publish(bridge->statusTopic_, "online", true, 1);
    // The broker may have lost the retained values while we were away.
    bridge->republish_ = true;
    bridge->log_("broker connected " + bridge->Broker() + " as " + bridge->clientId_);
}

void MqttBridge::OnDisconnect(mosquitto* client, void* self, int rc)
{
    auto* bridge = static_cast<MqttBridge*>(self);
    const int savedErrno = errno;
    const bool was = bridge->connected_.exchange(false);
    bridge->log_.Broker(BrokerState::Away);
    if (bridge->settings_.metrics)
        bridge->settings_.metrics->MqttConnected(false);
    const bool refused = std::exchange(bridge->refused_, false);
    if (bridge->stopping_)
        return;  // asked for
    // A DISCONNECT the MQTT 5 broker sent (a reason code, 0 among them)
    // ends libmosquitto's thread for good: the publisher starts it again.
    const bool fromBroker = bridge->v5_ && (rc == 0 || rc >= 128);
    if (fromBroker && !was)
        bridge->EndedForGood(std::chrono::seconds(ReconnectBackoff::FIRST_S));
    if (!was) {
        if (!refused)
            bridge->SayFailure(AttemptFailure(bridge->Broker(), rc, savedErrno),
                               NoMoreTries(rc) ? NO_MORE_TRIES : TRYING_AGAIN);
        return;
    }
    const Clock::duration stood = Clock::now() - bridge->acceptedAt_;
    const unsigned delay = bridge->backoff_.Lost(stood);
    mosquitto_reconnect_delay_set(client, delay, ReconnectBackoff::LAST_S, true);
    if (fromBroker)
        bridge->EndedForGood(std::chrono::seconds(delay));
    const std::string cause =
        fromBroker ? "the broker said " + Clause(mosquitto_reason_string(rc)) : MosquittoWhy(rc, savedErrno);
    std::string line = "broker lost " + bridge->Broker() + " " + Seconds(stood) + " after connecting: " + cause;
    if (bridge->backoff_.ShortInRow() >= 2)
        line += " (" + std::to_string(bridge->backoff_.ShortInRow()) +
                " times in a row within a minute of connecting: another client may be using client id " +
                bridge->clientId_ + ")";
    bridge->log_.Warn(line + (NoMoreTries(rc) ? NO_MORE_TRIES : "; trying again in " + std::to_string(delay) + " s"));
}

// A TLS handshake that fails reaches no other callback, and libmosquitto's
// thread ends after it: its own words are all there is to tell.
void MqttBridge::OnLibraryLog(mosquitto*, void* self, int level, const char* text)
{
    if (level == MOSQ_LOG_ERR && text != nullptr)
        static_cast<MqttBridge*>(self)->SayFailure(
            "broker " + static_cast<MqttBridge*>(self)->Broker() + " (libmosquitto): " + text, "");
}

void MqttBridge::EndedForGood(std::chrono::seconds delay)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        restartAt_ = Clock::now() + delay;
    }
    ended_ = true;
}

void MqttBridge::Restart()
{
    ended_ = false;
    mosquitto_loop_stop(client_, false);  // joins the ended thread
    // Falling back to 3.1.1: a reconnect would send the MQTT 5 properties
    // kept from the first connect, which libmosquitto refuses over 3.1.1.
    if (!v5_) {
        Connect();
        return;
    }
    // The attempt first: a thread started on a client still marked
    // disconnected would end at once. One that fails leaves it marked
    // connecting, and the thread's loop tries again after its delay.
    if (const int rc = mosquitto_reconnect_async(client_); rc != MOSQ_ERR_SUCCESS)
        SayFailure(AttemptFailure(Broker(), rc, errno), TRYING_AGAIN);
    if (const int started = mosquitto_loop_start(client_); started != MOSQ_ERR_SUCCESS)
        log_.Error(std::string("cannot start the MQTT client's thread: ") + mosquitto_strerror(started));
}

}  // namespace kivgate
