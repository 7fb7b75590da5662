// A real mosquitto broker on a loopback port of its own: the program Debian
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
#include <iterator>
#include <random>
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

// A loopback port to try: mosquitto cannot be given port 0, so one is picked
// below the range the system hands out for port 0 and outgoing connections,
// and the broker tries another when it finds this one taken.
inline int PickPort()
{
    static std::mt19937 random{std::random_device{}()};
    return std::uniform_int_distribution<int>(20000, 32767)(random);
}

inline std::string FileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool Listening(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    const bool up = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return up;
}

// Its port and configuration are fixed once it first listens, so that it
// can be killed and started again on the same port; without persistence it
// has then forgotten every retained message.
class Broker {
public:
    static constexpr const char* PROGRAM = "/usr/sbin/mosquitto";

    Broker() : port_(PickPort())
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kiv-mosquitto-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            return;
        dir_ = pattern;
        Configure();
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
        // Until it first listens, a port another program holds is traded for another.
        for (int tries = listened_ ? 1 : 20; tries > 0; --tries) {
            switch (RunOnce(why)) {
            case Up: listened_ = true; return true;
            case Taken:
                if (listened_)
                    return false;
                port_ = PickPort();
                Configure();
                break;
            case Failed: return false;
            }
        }
        return false;
    }

    enum Started { Up, Taken, Failed };

    Started RunOnce(std::string* why)
    {
        const std::string conf = dir_ + "/mosquitto.conf";
        const std::string log = dir_ + "/mosquitto.log";
        std::error_code ignored;
        std::filesystem::remove(log, ignored);  // a restart's log says only what this start said
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
            return Failed;
        }
        *why = "the broker did not listen on 127.0.0.1:" + std::to_string(port_) + " (see its log, " + log + ")";
        // Its own word that it runs, so that another program on the port is not taken for it.
        for (const auto until = Clock::now() + 20s; Clock::now() < until; std::this_thread::sleep_for(5ms)) {
            if (FileText(log).find(" running") != std::string::npos && Listening(port_))
                return Up;
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return FileText(log).find("Address already in use") != std::string::npos ? Taken : Failed;
            }
        }
        return Failed;
    }

    void Configure()
    {
        std::ofstream(dir_ + "/mosquitto.conf") << "listener " << port_ << " 127.0.0.1\n"
                                                << "allow_anonymous true\npersistence false\n";
    }

    std::string dir_;
    int port_;
    pid_t pid_ = -1;
    bool failed_ = false;
    bool listened_ = false;  // the port is the broker's
};

}  // namespace mqtt_test

#endif  // DAVODEV_TESTS_MOSQUITTO_BROKER_H
