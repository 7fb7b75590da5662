// A mosquitto broker of the benchmark's own, on a free loopback port, as
// the gateway's tests start theirs: the program Debian installs, with a
// configuration in a directory of its own and no persistence.
#ifndef DAVODEV_KIVBENCH_MOSQUITTO_BROKER_H
#define DAVODEV_KIVBENCH_MOSQUITTO_BROKER_H

#include <sys/types.h>

#include <string>

namespace kivbench {

class MosquittoBroker {
public:
    static constexpr const char* PROGRAM = "/usr/sbin/mosquitto";

    MosquittoBroker() = default;
    ~MosquittoBroker();
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    // Starts the broker and waits until it listens; false with why when it
    // is not installed or does not come up.
    bool Start(std::string* why);
    int Port() const { return port_; }

private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
    bool started_ = false;
};

}  // namespace kivbench

#endif  // DAVODEV_KIVBENCH_MOSQUITTO_BROKER_H
