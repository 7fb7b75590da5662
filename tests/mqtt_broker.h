// A real MQTT broker for the tests, started on a free loopback port, and a
// plain client that records what it is sent: the gateway's MQTT side is
// judged by what a subscriber of its own sees.
#ifndef DAVODEV_TESTS_MQTT_BROKER_H
#define DAVODEV_TESTS_MQTT_BROKER_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <mosquitto.h>

#include "plcsim_process.h"

namespace mqtt_test {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A port nobody listens on now: the kernel's pick for a bound socket.
inline int FreePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

inline bool Listening(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return up;
}

// The broker as a program, without persistence: killed and started again,
// it has forgotten every retained message.
class Broker {
public:
    Broker() : port_(FreePort())
    {
        std::ofstream(dir_ / "mosquitto.conf") << "listener " << port_ << " 127.0.0.1\n"
                                               << "allow_anonymous true\npersistence false\n";
    }
    ~Broker() { Kill(); }
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    int Port() const { return port_; }

    bool Start()
    {
        const std::string conf = dir_ / "mosquitto.conf";
        const std::string log = dir_ / "mosquitto.log";
        pid_ = fork();
        if (pid_ == 0) {
            const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
            execl("/usr/sbin/mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (const auto until = Clock::now() + 10s; Clock::now() < until; std::this_thread::sleep_for(20ms))
            if (Listening(port_))
                return true;
        return false;
    }

    // As a crash: no goodbye to anyone.
    void Kill()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    plcsim_test::TempDir dir_;
    int port_;
    pid_t pid_ = -1;
};

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

    void Publish(const std::string& topic, const std::string& payload)
    {
        mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false);
    }

    // The first message on the topic that passes the test, within the time;
    // none: an empty topic.
    Message WaitFor(const std::string& topic, const std::function<bool(const Message&)>& test = nullptr,
                    std::chrono::milliseconds upTo = 10s)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        Message found;
        changed_.wait_for(lock, upTo, [&] {
            for (const Message& message : messages_)
                if (message.topic == topic && (!test || test(message))) {
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
