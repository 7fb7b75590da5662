#include "mosquitto_broker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace kivbench {

namespace {

sockaddr_in Loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// A port nobody listens on now: the kernel's pick for a bound socket.
int FreePort()
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

bool Listening(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    const bool up = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return up;
}

}  // namespace

MosquittoBroker::~MosquittoBroker()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    // A broker that did not come up leaves its log for the reader of the message.
    if (!dir_.empty() && started_) {
        unlink((dir_ + "/mosquitto.conf").c_str());
        unlink((dir_ + "/mosquitto.log").c_str());
        rmdir(dir_.c_str());
    }
}

bool MosquittoBroker::Start(std::string* why)
{
    if (access(PROGRAM, X_OK) != 0) {
        *why = std::string(PROGRAM) + " is not installed (Debian: mosquitto)";
        return false;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kivbench-mqtt-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        *why = "cannot make a directory for the broker's configuration";
        return false;
    }
    dir_ = pattern;
    port_ = FreePort();
    const std::string conf = dir_ + "/mosquitto.conf";
    const std::string log = dir_ + "/mosquitto.log";
    std::ofstream(conf) << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\npersistence false\n";
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
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (; std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        if (Listening(port_))
            return started_ = true;
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
    }
    *why = "the broker did not listen on 127.0.0.1:" + std::to_string(port_) + " (see its log, " + log + ")";
    return false;
}

}  // namespace kivbench
