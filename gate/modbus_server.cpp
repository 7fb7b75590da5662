// The gateway's own Modbus TCP framing and accept loop. libmodbus binds the
// socket (modbus_tcp_pi_listen) and gives the function codes, exception
// codes and limits; its server side (modbus_tcp_pi_accept, modbus_receive,
// modbus_reply) does not fit a gateway: it would block a thread per client
// and answer from a modbus_mapping_t, which holds a value but cannot say it
// is stale. Here one thread polls every client; a read's exception follows
// the value's quality (0B, GATEWAY_TARGET, for a station down or a value too
// old: never a stale value as if fresh); a write's answer waits for the line
// while the other clients go on being served; and a request is taken whole
// or refused, never carried out in part.
#include "gate/modbus_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>

#include <modbus.h>

#include "gate/modbus_connection.h"

namespace kivgate {

using Clock = std::chrono::steady_clock;

namespace {

// The answer takes the request's header, its length now the answer's.
void QueueAnswer(ModbusServer::Connection& connection, const std::vector<uint8_t>& pdu, GateMetrics* metrics)
{
    if (metrics && !pdu.empty())
        metrics->ModbusRequest(pdu[0] & 0x7F, (pdu[0] & 0x80) != 0 && pdu.size() > 1 ? pdu[1] : 0);
    const size_t length = pdu.size() + 1;
    connection.header[4] = static_cast<uint8_t>(length >> 8);
    connection.header[5] = static_cast<uint8_t>(length);
    connection.out.insert(connection.out.end(), connection.header, connection.header + MBAP_BYTES);
    connection.out.insert(connection.out.end(), pdu.begin(), pdu.end());
}

bool IsWrite(uint8_t function)
{
    return function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_SINGLE_REGISTER ||
           function == MODBUS_FC_WRITE_MULTIPLE_COILS || function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS;
}

}  // namespace

std::string Joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

ModbusServer::ModbusServer(ModbusSettings settings, const std::vector<GateTag>& tags, SnapshotStore& snapshots,
                           WriteQueue& writes, Log log)
    : settings_(std::move(settings)), map_(tags), snapshots_(snapshots), writes_(writes), log_(std::move(log))
{
}

ModbusServer::~ModbusServer()
{
    Stop();
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
            log_.Error(std::string("modbus: poll failed: ") + std::strerror(errno));
            return;
        }
        if (stopping_)
            break;

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
            if (keep)
                keep = InTime(connection, now, &reason);
            if (!keep)
                Close(i, reason);
        }
        // After the others, whose places in polled are then still theirs.
        if (polled[1].revents & POLLIN)
            Accept();
    }
    AnswerWaiting();
}

// Answers the whole requests received, up to one write under way.
bool ModbusServer::Serve(Connection& connection, std::string* reason)
{
    size_t used = 0;
    while (connection.pending.empty() && connection.out.size() < OUT_MAX && connection.in.size() - used >= MBAP_BYTES) {
        const uint8_t* header = connection.in.data() + used;
        const unsigned protocol = header[2] << 8 | header[3];
        const size_t length = static_cast<size_t>(header[4] << 8 | header[5]);  // unit and PDU
        if (protocol != 0 || length < 2 || MBAP_BYTES - 1 + length > MODBUS_TCP_MAX_ADU_LENGTH) {
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
        connection.lastRequest = connection.requestStarted = Clock::now();
        if (answer.kind == ModbusAnswer::Kind::Malformed) {
            *reason = "malformed request (" + answer.why + ")";
            return false;
        }
        // The unit after the PDU: a request that is not Modbus closes its connection whatever its unit.
        const unsigned unit = header[MBAP_BYTES - 1];
        const std::string who = connection.peer + " unit " + std::to_string(unit);
        if (!settings_.units.Answers(static_cast<uint8_t>(unit))) {
            answer = ModbusAnswer{ModbusAnswer::Kind::Reply,
                                  ExceptionPdu(pdu[0], MODBUS_EXCEPTION_GATEWAY_PATH),
                                  {},
                                  IsWrite(pdu[0]) ? "unit " + std::to_string(unit) + " is not served here (units " +
                                                        settings_.units.Text() + ", --modbus-unit)"
                                                  : ""};
        }
        if (answer.kind == ModbusAnswer::Kind::Reply && !answer.why.empty())
            log_.WriteRefused("modbus: write from " + who + " refused: " + answer.why);
        if (answer.kind == ModbusAnswer::Kind::Write) {
            std::vector<std::string> parts;
            for (WriteRequest& write : answer.writes) {
                write.from = "modbus " + who;
                parts.push_back(map_.Tags()[write.tag].tag.name);
            }
            // All parts or none: a request is never carried out in part for want of room.
            const size_t count = answer.writes.size();
            WriteQueue::Submitted submitted = writes_.SubmitAll(std::move(answer.writes));
            if (submitted.results.empty() && count > writes_.Capacity()) {
                log_.WriteRefused("modbus: write to " + Joined(parts) + " from " + who + " refused: its " +
                                  std::to_string(count) + " tags are more than the write queue ever holds (" +
                                  std::to_string(writes_.Capacity()) + "); write them in smaller requests");
                answer.pdu = ExceptionPdu(pdu[0], MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
            } else if (submitted.results.empty()) {
                log_.WriteRefused("modbus: write to " + Joined(parts) + " from " + who +
                                  " refused: the write queue is full");
                answer.pdu = ExceptionPdu(pdu[0], MODBUS_EXCEPTION_SLAVE_OR_SERVER_BUSY);
            } else {
                log_.Debug("modbus: queued for " + who + ": " + Joined(parts));
                connection.pending = std::move(submitted.results);
                connection.batch = submitted.batch;
                connection.parts = std::move(parts);
                connection.reply = std::move(answer.pdu);
                break;
            }
        }
        QueueAnswer(connection, answer.pdu, settings_.metrics);
    }
    connection.in.erase(connection.in.begin(), connection.in.begin() + static_cast<std::ptrdiff_t>(used));
    // What is left is the start of the next request, which has its time from now.
    if (used > 0)
        connection.requestStarted = Clock::now();
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
        log_.Warn("modbus: write from " + connection.peer + " done in part: " + Joined(written) + " written, " +
                  Joined(unwritten) + " not");
    // Sent and not confirmed (the station may have refused as much as not
    // answered), or done in part: a device failure. Never sent: nothing
    // changed, the target did not respond.
    const uint8_t failed = sent ? MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE : MODBUS_EXCEPTION_GATEWAY_TARGET;
    QueueAnswer(connection, unwritten.empty() ? connection.reply : ExceptionPdu(connection.reply[0], failed),
                settings_.metrics);
    connection.lastRequest = connection.requestStarted = Clock::now();
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
    log_.Debug("modbus: client " + connection.peer + " closed: " + reason);
    // Nobody is left to tell: what is not sent yet is not sent at all.
    if (!connection.pending.empty())
        writes_.Withdraw(connection.batch, "the Modbus client " + connection.peer + " has gone");
    close(connection.fd);
    connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(index));
    Counted();
}

}  // namespace kivgate
