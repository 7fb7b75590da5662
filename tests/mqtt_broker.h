// A real MQTT broker for the tests (mosquitto_broker.h), and a plain client
// that records what it is sent: the gateway's MQTT side is judged by what a
// subscriber of its own sees.
#ifndef DAVODEV_TESTS_MQTT_BROKER_H
#define DAVODEV_TESTS_MQTT_BROKER_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <mosquitto.h>

#include "tests/mosquitto_broker.h"

namespace mqtt_test {

struct Message {
    std::string topic;
    std::string payload;
    bool retained = false;
};

// A client that subscribes to a filter and keeps every message it gets.
class Subscriber {
public:
    Subscriber(int port, const std::string& filter)
    {
        mosquitto_lib_init();
        client_ = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* message) {
            auto* me = static_cast<Subscriber*>(self);
            std::lock_guard<std::mutex> lock(me->mutex_);
            me->messages_.push_back({message->topic,
                                     std::string(static_cast<const char*>(message->payload), message->payloadlen),
                                     message->retain});
            me->changed_.notify_all();
        });
        connected_ = mosquitto_connect(client_, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS &&
                     mosquitto_subscribe(client_, nullptr, filter.c_str(), 1) == MOSQ_ERR_SUCCESS &&
                     mosquitto_loop_start(client_) == MOSQ_ERR_SUCCESS;
    }
    ~Subscriber()
    {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
    }
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    bool Connected() const { return connected_; }

    void Publish(const std::string& topic, const std::string& payload, bool retain = false)
    {
        mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain);
    }

    // The first (or nth) message on the topic that passes the test, within
    // the time; none: an empty topic.
    Message WaitFor(const std::string& topic, const std::function<bool(const Message&)>& test = nullptr,
                    std::chrono::milliseconds upTo = 10s, size_t nth = 1)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        Message found;
        changed_.wait_for(lock, upTo, [&] {
            size_t passed = 0;
            for (const Message& message : messages_)
                if (message.topic == topic && (!test || test(message)) && ++passed == nth) {
                    found = message;
                    return true;
                }
            return false;
        });
        return found;
    }

    // The last message on a topic so far.
    Message Last(const std::string& topic)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = messages_.rbegin(); it != messages_.rend(); ++it)
            if (it->topic == topic)
                return *it;
        return {};
    }

private:
    mosquitto* client_ = nullptr;
    bool connected_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Message> messages_;
};

}  // namespace mqtt_test

#endif  // DAVODEV_TESTS_MQTT_BROKER_H
