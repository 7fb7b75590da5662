// kivgate's status page over HTTP (cpp-httplib): the page itself with its
// chart library, /api/status and /metrics. Read-only: it answers GET and
// HEAD alone, and nothing it serves changes the gateway. The content comes
// from the callbacks, asked on the server's threads at each request.
#ifndef KIVGATE_STATUS_SERVER_H
#define KIVGATE_STATUS_SERVER_H

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace kivgate {

struct StatusContent {
    std::function<std::string()> status;   // /api/status, JSON
    std::function<std::string()> metrics;  // /metrics, Prometheus text
};

class StatusServer {
public:
    explicit StatusServer(StatusContent content);
    ~StatusServer();
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // Listens on host:port (port 0: any free one) and serves on threads of
    // its own; false with why when it cannot listen.
    bool Start(const std::string& host, int port, std::string* why);
    int Port() const { return port_; }
    // The last Start was refused by the set-up (a privileged port): trying again will not help.
    bool RefusedBySetUp() const { return refusedBySetUp_; }
    void Stop();

private:
    StatusContent content_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<bool> ended_{false};  // the serving loop returned
    bool refusedBySetUp_ = false;
};

// A host that is not a loopback one: the page is then open to the network,
// and it has no authentication.
bool IsLoopbackHost(const std::string& host);

}  // namespace kivgate

#endif  // KIVGATE_STATUS_SERVER_H
