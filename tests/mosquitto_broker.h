// A real mosquitto broker on a free loopback port: the program Debian
// installs, with a configuration in a directory of its own and no
// persistence. The gateway's tests start one, and so does the benchmark's
// kivgate section; it needs nothing of the test framework for that reason.
#ifndef DAVODEV_TESTS_MOSQUITTO_BROKER_H
#define DAVODEV_TESTS_MOSQUITTO_BROKER_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

namespace mqtt_test {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline sockaddr_in Loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// A port nobody listens on now: the kernel's pick for a bound socket.
inline int FreePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
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
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    const bool up = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return up;
}

// Its port and configuration are fixed when it is made, so that it can be
// killed and started again on the same port; without persistence it has
// then forgotten every retained message.
class Broker {
public:
    static constexpr const char* PROGRAM = "/usr/sbin/mosquitto";

    Broker() : port_(FreePort())
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kiv-mosquitto-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            return;
        dir_ = pattern;
        std::ofstream(dir_ + "/mosquitto.conf") << "listener " << port_ << " 127.0.0.1\n"
                                                << "allow_anonymous true\npersistence false\n";
    }
    ~Broker()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        // A broker that did not come up leaves its log for the reader of the message.
        std::error_code ignored;
        if (!dir_.empty() && !failed_)
            std::filesystem::remove_all(dir_, ignored);
    }
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    int Port() const { return port_; }

    // Starts the broker and waits until it listens; false, with why when
    // asked, when it is not installed or does not come up.
    bool Start(std::string* why = nullptr)
    {
        std::string problem;
        failed_ = !Run(&problem);
        if (failed_ && why != nullptr)
            *why = problem;
        return !failed_;
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
    bool Run(std::string* why)
    {
        if (access(PROGRAM, X_OK) != 0) {
            *why = std::string(PROGRAM) + " is not installed (Debian: mosquitto)";
            return false;
        }
        if (dir_.empty()) {
            *why = "cannot make a directory for the broker's configuration";
            return false;
        }
        const std::string conf = dir_ + "/mosquitto.conf";
        const std::string log = dir_ + "/mosquitto.log";
        pid_ = fork();
        if (pid_ == 0) {
            const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
            execl(PROGRAM, "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid_ < 0) {
            *why = "cannot start the broker";
            return false;
        }
        for (const auto until = Clock::now() + 10s; Clock::now() < until; std::this_thread::sleep_for(20ms)) {
            if (Listening(port_))
                return true;
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
        }
        *why = "the broker did not listen on 127.0.0.1:" + std::to_string(port_) + " (see its log, " + log + ")";
        return false;
    }

    std::string dir_;
    int port_;
    pid_t pid_ = -1;
    bool failed_ = false;
};

}  // namespace mqtt_test

#endif  // DAVODEV_TESTS_MOSQUITTO_BROKER_H
