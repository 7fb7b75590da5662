#include "modbus_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>

#include <modbus.h>

namespace kivgate {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t MBAP_BYTES = 7;  // transaction, protocol, length, unit
constexpr size_t READ_CHUNK = 1024;
// A client that sends requests and reads no answers stops being read once
// this much waits for it; its idle time-out then ends it.
constexpr size_t OUT_MAX = 16 * 1024;
constexpr int POLL_MS = 200;      // idle clients checked this often
constexpr int WRITE_POLL_MS = 5;  // a station's answer to a write is looked for this often
constexpr int LISTEN_BACKLOG = 16;

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

std::string Joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

void SetNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

}  // namespace

struct ModbusServer::Connection {
    int fd = -1;
    std::string peer;
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    Clock::time_point lastHeard;
    // A write under way: answered with reply (after header) once every
    // future is ready; the client's further requests wait in `in`.
    std::vector<std::future<WriteResult>> pending;
    uint64_t batch = 0;
    std::vector<std::string> parts;  // the tags written, for the log
    uint8_t header[MBAP_BYTES] = {};
    std::vector<uint8_t> reply;
};

namespace {

// The answer takes the request's header, its length now the answer's.
void QueueAnswer(ModbusServer::Connection& connection, const std::vector<uint8_t>& pdu)
{
    const size_t length = pdu.size() + 1;
    connection.header[4] = static_cast<uint8_t>(length >> 8);
    connection.header[5] = static_cast<uint8_t>(length);
    connection.out.insert(connection.out.end(), connection.header, connection.header + MBAP_BYTES);
    connection.out.insert(connection.out.end(), pdu.begin(), pdu.end());
}

}  // namespace

ModbusServer::ModbusServer(ModbusSettings settings, const std::vector<GateTag>& tags, SnapshotStore& snapshots,
                           WriteQueue& writes, Log log)
    : settings_(std::move(settings)), map_(tags), snapshots_(snapshots), writes_(writes), log_(std::move(log))
{
}

ModbusServer::~ModbusServer()
{
    Stop();
}

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
        *why = "cannot listen on " + settings_.host + ":" + service + ": " + std::strerror(listenError) +
               " (another program on that port? choose one with --modbus-listen)";
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
    log_("modbus: listening on " + settings_.host + ":" + std::to_string(port_));
    return true;
}

void ModbusServer::Stop()
{
    if (!thread_.joinable())
        return;
    stopping_ = true;
    const char byte = 0;
    [[maybe_unused]] const ssize_t written = write(wake_[1], &byte, 1);  // a full pipe wakes it as well
    thread_.join();
    while (!connections_.empty())
        Close(connections_.size() - 1, "the gateway stops");
    close(listener_);
    close(wake_[0]);
    close(wake_[1]);
    listener_ = wake_[0] = wake_[1] = -1;
}

void ModbusServer::Run()
{
    std::vector<pollfd> polled;
    while (!stopping_) {
        polled.clear();
        polled.push_back(pollfd{wake_[0], POLLIN, 0});
        // Out of descriptors the listener stays readable: not polled for a while, not spun on.
        polled.push_back(pollfd{listener_, static_cast<short>(Clock::now() < acceptPausedUntil_ ? 0 : POLLIN), 0});
        bool waiting = false;
        for (const std::unique_ptr<Connection>& connection : connections_) {
            short events = 0;
            // No more requests read while one is under way or answers pile up;
            // but a client that hangs up while its write waits is seen at once,
            // so that the write is withdrawn before it is sent.
            if (connection->pending.empty() && connection->out.size() < OUT_MAX)
                events |= POLLIN;
            else if (!connection->pending.empty())
                events |= POLLRDHUP;
            if (!connection->out.empty())
                events |= POLLOUT;
            waiting = waiting || !connection->pending.empty();
            polled.push_back(pollfd{connection->fd, events, 0});
        }
        if (poll(polled.data(), polled.size(), waiting ? WRITE_POLL_MS : POLL_MS) < 0 && errno != EINTR) {
            log_(std::string("modbus: poll failed: ") + std::strerror(errno));
            return;
        }
        if (stopping_)
            return;
        if (polled[1].revents & POLLIN)
            Accept();

        const Clock::time_point now = Clock::now();
        // Backwards, so that closing one leaves the indexes before it valid;
        // those accepted just now have no pollfd yet.
        for (size_t i = polled.size() - 2; i-- > 0;) {
            Connection& connection = *connections_[i];
            const short revents = polled[i + 2].revents;
            std::string reason;
            bool keep = true;
            if (revents & (POLLIN | POLLHUP | POLLERR | POLLRDHUP))
                keep = Receive(connection, &reason);
            if (keep && !connection.pending.empty())
                FinishWrite(connection);
            if (keep && connection.pending.empty())
                keep = Serve(connection, &reason);
            if (keep && !connection.out.empty())
                keep = Flush(connection, &reason);
            if (keep && connection.pending.empty() &&
                now - connection.lastHeard > std::chrono::seconds(settings_.idleS)) {
                keep = false;
                reason = "idle for " + std::to_string(settings_.idleS) + " s";
            }
            if (!keep)
                Close(i, reason);
        }
    }
}

void ModbusServer::Accept()
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            log_(std::string("modbus: cannot take a client: ") + std::strerror(errno));
            acceptPausedUntil_ = Clock::now() + std::chrono::milliseconds(POLL_MS);
        }
        return;  // or gone before it was taken
    }
    const std::string peer = PeerName(address);
    if (connections_.size() >= static_cast<size_t>(settings_.maxClients)) {
        log_("modbus: client " + peer + " refused: " + std::to_string(settings_.maxClients) +
             " clients already (--modbus-clients)");
        close(fd);
        return;
    }
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->peer = peer;
    connection->lastHeard = Clock::now();
    connections_.push_back(std::move(connection));
    log_("modbus: client " + peer + " connected");
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
    connection.in.insert(connection.in.end(), buffer, buffer + got);
    connection.lastHeard = Clock::now();
    return true;
}

// Answers the whole requests received, up to one write under way.
bool ModbusServer::Serve(Connection& connection, std::string* reason)
{
    size_t used = 0;
    while (connection.pending.empty() && connection.out.size() < OUT_MAX && connection.in.size() - used >= MBAP_BYTES) {
        const uint8_t* header = connection.in.data() + used;
        const unsigned protocol = header[2] << 8 | header[3];
        const size_t length = static_cast<size_t>(header[4] << 8 | header[5]);  // unit and PDU
        if (protocol != 0 || length < 2 || length > MODBUS_MAX_PDU_LENGTH + 1) {
            *reason =
                "malformed request (protocol " + std::to_string(protocol) + ", length " + std::to_string(length) + ")";
            return false;
        }
        if (connection.in.size() - used < MBAP_BYTES - 1 + length)
            break;
        const std::span<const uint8_t> pdu(header + MBAP_BYTES, length - 1);
        ModbusAnswer answer = AnswerRequest(pdu, map_, *snapshots_.Latest(), settings_.allowWrites, Clock::now());
        std::memcpy(connection.header, header, MBAP_BYTES);
        used += MBAP_BYTES - 1 + length;
        if (answer.kind == ModbusAnswer::Kind::Malformed) {
            *reason = "malformed request (" + answer.why + ")";
            return false;
        }
        if (answer.kind == ModbusAnswer::Kind::Write) {
            std::vector<std::string> parts;
            for (WriteRequest& write : answer.writes) {
                write.from = "modbus " + connection.peer;
                parts.push_back(map_.Tags()[write.tag].tag.name);
            }
            // All parts or none: a request is never carried out in part for want of room.
            WriteQueue::Submitted submitted = writes_.SubmitAll(std::move(answer.writes));
            if (submitted.results.empty()) {
                log_("modbus: write to " + Joined(parts) + " from " + connection.peer +
                     " refused: the write queue is full");
                answer.pdu = ExceptionPdu(pdu[0], DeviceBusy);
            } else {
                connection.pending = std::move(submitted.results);
                connection.batch = submitted.batch;
                connection.parts = std::move(parts);
                connection.reply = std::move(answer.pdu);
                break;
            }
        }
        QueueAnswer(connection, answer.pdu);
    }
    connection.in.erase(connection.in.begin(), connection.in.begin() + static_cast<std::ptrdiff_t>(used));
    return true;
}

// The client of a write hears back once the station has answered every
// part, or the part was dropped. The line's owner logs each part's result,
// naming this client; a write done in part is told here as a whole.
void ModbusServer::FinishWrite(Connection& connection)
{
    for (std::future<WriteResult>& result : connection.pending)
        if (result.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
            return;
    std::vector<std::string> written;
    std::vector<std::string> unwritten;
    bool sent = false;
    for (size_t i = 0; i < connection.pending.size(); ++i) {
        const WriteResult result = connection.pending[i].get();
        (result.done ? written : unwritten).push_back(connection.parts[i]);
        sent = sent || result.sent;
    }
    connection.pending.clear();
    connection.parts.clear();
    if (!written.empty() && !unwritten.empty())
        log_("modbus: write from " + connection.peer + " done in part: " + Joined(written) + " written, " +
             Joined(unwritten) + " not");
    // Sent and not confirmed (the station may have refused as much as not
    // answered), or done in part: a device failure. Never sent: nothing
    // changed, the target did not respond.
    const uint8_t failed = sent ? DeviceFailure : TargetFailed;
    QueueAnswer(connection, unwritten.empty() ? connection.reply : ExceptionPdu(connection.reply[0], failed));
    connection.lastHeard = Clock::now();
}

bool ModbusServer::Flush(Connection& connection, std::string* reason)
{
    const ssize_t sent = send(connection.fd, connection.out.data(), connection.out.size(), MSG_NOSIGNAL);
    if (sent < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return true;
        *reason = std::strerror(errno);
        return false;
    }
    connection.out.erase(connection.out.begin(), connection.out.begin() + sent);
    return true;
}

void ModbusServer::Close(size_t index, const std::string& reason)
{
    Connection& connection = *connections_[index];
    log_("modbus: client " + connection.peer + " closed: " + reason);
    // Nobody is left to tell: what is not sent yet is not sent at all.
    if (!connection.pending.empty())
        writes_.Withdraw(connection.batch, "the Modbus client " + connection.peer + " has gone");
    close(connection.fd);
    connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(index));
}

}  // namespace kivgate
