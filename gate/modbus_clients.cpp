// The Modbus server's clients: the listening socket, each client taken
// and read, and the times that end a client: a request too slow to arrive,
// a client idle, one making room for a newer one, the gateway stopping.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <modbus.h>

#include "gate/listen_refusal.h"
#include "gate/modbus_connection.h"

namespace kivgate {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int LISTEN_BACKLOG = 16;
// On stopping, the answers to the writes still waiting get this long to leave.
constexpr auto STOP_ANSWER_TIME = std::chrono::seconds(2);
const char* const STOPPING = "kivgate is stopping: the write was not sent";

std::string PeerName(const sockaddr_storage& address)
{
    char host[INET6_ADDRSTRLEN] = "?";
    uint16_t port = 0;
    if (address.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&address);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    if (address.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
    }
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

void SetNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

long SecondsSince(Clock::time_point then, Clock::time_point now)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now - then).count());
}

}  // namespace

bool ModbusServer::Start(std::string* why)
{
    const std::string service = std::to_string(settings_.port);
    // libmodbus says only "connection refused" for an address it cannot resolve.
    if (!settings_.host.empty()) {
        addrinfo hints{};
        hints.ai_flags = AI_PASSIVE;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int resolved = getaddrinfo(settings_.host.c_str(), service.c_str(), &hints, &found);
        if (resolved != 0) {
            *why = "cannot listen on " + settings_.host + ":" + service + ": " + gai_strerror(resolved);
            return false;
        }
        freeaddrinfo(found);
    }
    modbus_t* context = modbus_new_tcp_pi(settings_.host.empty() ? nullptr : settings_.host.c_str(), service.c_str());
    if (context == nullptr) {
        *why = std::string("Modbus TCP: ") + modbus_strerror(errno);
        return false;
    }
    // libmodbus resolves the address and binds; the socket is ours from here.
    listener_ = modbus_tcp_pi_listen(context, LISTEN_BACKLOG);
    const int listenError = errno;
    modbus_free(context);
    if (listener_ < 0) {
        const ListenRefusal refusal = ListenRefused(settings_.host, settings_.port, listenError);
        *why = refusal.why;
        refusedBySetUp_ = refusal.setUp;
        return false;
    }
    SetNonBlocking(listener_);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length) == 0)
        port_ = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                            : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        *why = std::string("Modbus TCP: ") + std::strerror(errno);
        close(listener_);
        listener_ = -1;
        return false;
    }
    stopping_ = false;
    thread_ = std::thread([this] { Run(); });
    log_("modbus: listening on " + settings_.host + ":" + std::to_string(port_) +
         (settings_.units.All() ? "" : ", units " + settings_.units.Text()));
    return true;
}

void ModbusServer::Accept()
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            log_.Warn(std::string("modbus: cannot take a client: ") + std::strerror(errno));
            acceptPausedUntil_ = Clock::now() + std::chrono::milliseconds(POLL_MS);
        }
        return;  // or gone before it was taken
    }
    const std::string peer = PeerName(address);
    if (connections_.size() >= static_cast<size_t>(settings_.maxClients) && !MakeRoom(peer)) {
        log_.Warn("modbus: client " + peer + " refused: " + std::to_string(settings_.maxClients) +
                  " clients already, each waiting for a write (--modbus-clients)");
        close(fd);
        return;
    }
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->peer = peer;
    connection->lastRequest = Clock::now();
    connections_.push_back(std::move(connection));
    Counted();
    log_.Debug("modbus: client " + peer + " connected");
}

// Clients that hold a place and ask nothing cannot keep a new one out; a
// client waiting for a write keeps its place until it is answered.
bool ModbusServer::MakeRoom(const std::string& peer)
{
    size_t longest = connections_.size();
    for (size_t i = 0; i < connections_.size(); ++i)
        if (connections_[i]->pending.empty() &&
            (longest == connections_.size() || connections_[i]->lastRequest < connections_[longest]->lastRequest))
            longest = i;
    if (longest == connections_.size())
        return false;
    const std::string idle = std::to_string(SecondsSince(connections_[longest]->lastRequest, Clock::now()));
    log_("modbus: client " + connections_[longest]->peer + " closed for " + peer + ": " +
         std::to_string(settings_.maxClients) + " clients already (--modbus-clients), and it was idle longest (" +
         idle + " s)");
    Close(longest, "idle longest (" + idle + " s) when another client came");
    return true;
}

bool ModbusServer::InTime(const Connection& connection, Clock::time_point now, std::string* reason) const
{
    // A client waiting for its write, or for its answers to be read, is not the one late.
    if (!connection.pending.empty())
        return true;
    if (!connection.in.empty() && connection.out.size() < OUT_MAX &&
        now - connection.requestStarted > std::chrono::seconds(settings_.requestS)) {
        *reason = "a request not whole " + std::to_string(settings_.requestS) +
                  " s after its first byte (--modbus-request-time)";
        return false;
    }
    if (now - connection.lastRequest > std::chrono::seconds(settings_.idleS)) {
        *reason = "idle for " + std::to_string(settings_.idleS) + " s";
        return false;
    }
    return true;
}

// The line's owner has stopped and closed the queue (and logged the writes
// it dropped), or the server alone stops and withdraws them: either way
// each client waiting hears so before its connection closes.
void ModbusServer::AnswerWaiting()
{
    const Clock::time_point until = Clock::now() + STOP_ANSWER_TIME;
    for (const std::unique_ptr<Connection>& connection : connections_)
        if (!connection->pending.empty())
            writes_.Withdraw(connection->batch, STOPPING);
    std::vector<pollfd> polled;
    for (;;) {
        polled.clear();
        bool waiting = false;
        for (const std::unique_ptr<Connection>& connection : connections_) {
            if (!connection->pending.empty())
                FinishWrite(*connection);
            waiting = waiting || !connection->pending.empty();
            if (!connection->out.empty())
                polled.push_back(pollfd{connection->fd, POLLOUT, 0});
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if ((polled.empty() && !waiting) || left <= 0)
            return;
        // A part being sent by the owner right now is waited for, briefly.
        if (poll(polled.data(), polled.size(), waiting ? WRITE_POLL_MS : static_cast<int>(left)) < 0 && errno != EINTR)
            return;
        for (const std::unique_ptr<Connection>& connection : connections_) {
            std::string reason;
            if (!connection->out.empty() && !Flush(*connection, &reason))
                connection->out.clear();  // gone: nothing more to tell it
        }
    }
}

bool ModbusServer::Receive(Connection& connection, std::string* reason)
{
    uint8_t buffer[READ_CHUNK];
    const ssize_t got = recv(connection.fd, buffer, sizeof buffer, 0);
    if (got == 0) {
        *reason = "by the client";
        return false;
    }
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return true;
        *reason = std::strerror(errno);
        return false;
    }
    if (connection.in.empty())
        connection.requestStarted = Clock::now();
    connection.in.insert(connection.in.end(), buffer, buffer + got);
    return true;
}

void ModbusServer::Counted()
{
    clients_ = connections_.size();
    if (settings_.metrics)
        settings_.metrics->ModbusClients(connections_.size());
}

}  // namespace kivgate
