// kivgate's Modbus side: the request rules over a small map and snapshot,
// then the server on loopback with a libmodbus client and a stand-in for the
// line's owner that acknowledges writes when the test says so.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>
#include <modbus.h>

#include "gate/gate_log.h"
#include "gate/gate_state.h"
#include "gate/modbus_map.h"
#include "gate/modbus_server.h"
#include "gate/mqtt_bridge.h"
#include "tests/wait_until.h"

namespace {

using kivgate::GateTag;
using kivgate::ModbusAnswer;
using kivgate::Quality;
using kivgate::Space;
using kivgate::WriteRequest;
using Bytes = std::vector<uint8_t>;

GateTag MakeTag(const std::string& name, Space space, uint16_t first, int count, bool writable)
{
    GateTag tag;
    tag.tag.name = name;
    tag.tag.count = count;
    tag.tag.kind =
        space == Space::Coil || space == Space::DiscreteInput ? kivhost::ValueKind::Bit : kivhost::ValueKind::Word;
    tag.space = space;
    tag.first = first;
    tag.writable = writable;
    return tag;
}

kivgate::TagValue Value(std::vector<uint16_t> values, Quality quality = Quality::Good)
{
    kivgate::TagValue value;
    value.values = std::move(values);
    value.quality = quality;
    return value;
}

// Indexes: 0 speed, 1 levels, 2 temp, 3 valves, 4 alarms, 5 stuck, 6 limits, 7 mode, 8 old,
// 9 totals (two u32 values).
std::vector<GateTag> Tags()
{
    GateTag totals = MakeTag("totals", Space::HoldingRegister, 500, 4, true);
    totals.format.format = kivgate::WordFormat::U32;
    return {MakeTag("speed", Space::HoldingRegister, 100, 1, true),
            MakeTag("levels", Space::HoldingRegister, 101, 3, false),
            MakeTag("temp", Space::InputRegister, 0, 1, false),
            MakeTag("valves", Space::Coil, 5, 10, true),
            MakeTag("alarms", Space::DiscreteInput, 0, 3, false),
            MakeTag("stuck", Space::HoldingRegister, 200, 1, true),
            MakeTag("limits", Space::HoldingRegister, 300, 2, true),
            MakeTag("mode", Space::HoldingRegister, 302, 1, true),
            MakeTag("old", Space::HoldingRegister, 400, 1, false),
            totals};
}

std::shared_ptr<kivgate::Snapshot> Cycle()
{
    auto snapshot = std::make_shared<kivgate::Snapshot>();
    snapshot->cycle = 1;
    snapshot->tags = {Value({1234}),    Value({1, 2, 3}),
                      Value({77}),      Value({1, 0, 1, 1, 0, 0, 0, 0, 1, 1}),
                      Value({0, 1, 1}), Value({9}, Quality::Down),  // a last good value that must not be served
                      Value({10, 20}),  Value({3}),
                      Value({5}),       Value({0, 1, 0, 2})};
    // Read just now, but "old" a minute ago: past the age of ten seconds.
    snapshot->maxAge = std::chrono::seconds(10);
    const auto now = std::chrono::steady_clock::now();
    for (kivgate::TagValue& tag : snapshot->tags)
        tag.readAt = now;
    snapshot->tags[8].readAt = now - std::chrono::minutes(1);
    return snapshot;
}

struct HandlerCase {
    const char* name;
    Bytes request;
    bool allowWrites;
    ModbusAnswer::Kind kind;
    Bytes answer;
    std::vector<WriteRequest> writes;
    bool beforeFirstCycle = false;
};

TEST(KivgateModbus, RequestsAnsweredFromTheSnapshotOrRefused)
{
    using Kind = ModbusAnswer::Kind;
    const HandlerCase cases[] = {
        {"words and a run", {0x03, 0, 100, 0, 4}, false, Kind::Reply, {0x03, 8, 0x04, 0xD2, 0, 1, 0, 2, 0, 3}, {}},
        {"an input register", {0x04, 0, 0, 0, 1}, false, Kind::Reply, {0x04, 2, 0, 77}, {}},
        {"coils packed low bit first", {0x01, 0, 5, 0, 10}, false, Kind::Reply, {0x01, 2, 0x0D, 0x03}, {}},
        {"discrete inputs", {0x02, 0, 0, 0, 3}, false, Kind::Reply, {0x02, 1, 0x06}, {}},
        {"an unknown function", {0x07}, false, Kind::Reply, {0x87, 0x01}, {}},
        {"a gap before the map", {0x03, 0, 99, 0, 2}, false, Kind::Reply, {0x83, 0x02}, {}},
        {"a register in the other space", {0x04, 0, 100, 0, 1}, false, Kind::Reply, {0x84, 0x02}, {}},
        {"past the last address", {0x03, 0xFF, 0xFF, 0, 2}, false, Kind::Reply, {0x83, 0x02}, {}},
        {"no registers", {0x03, 0, 100, 0, 0}, false, Kind::Reply, {0x83, 0x03}, {}},
        {"too many registers", {0x03, 0, 100, 0, 126}, false, Kind::Reply, {0x83, 0x03}, {}},
        {"too many coils", {0x01, 0, 5, 0x07, 0xD1}, false, Kind::Reply, {0x81, 0x03}, {}},
        {"a station down", {0x03, 0, 200, 0, 1}, false, Kind::Reply, {0x83, 0x0B}, {}},
        {"a value past its age", {0x03, 1, 0x90, 0, 1}, false, Kind::Reply, {0x83, 0x0B}, {}},
        {"before the first cycle", {0x03, 0, 100, 0, 1}, false, Kind::Reply, {0x83, 0x0B}, {}, true},
        {"a write without the option", {0x06, 0, 100, 0, 42}, false, Kind::Reply, {0x86, 0x02}, {}},
        {"a write to a read-only tag", {0x06, 0, 101, 0, 42}, true, Kind::Reply, {0x86, 0x02}, {}},
        {"a write over rw and ro", {0x10, 0, 100, 0, 2, 4, 0, 1, 0, 2}, true, Kind::Reply, {0x90, 0x02}, {}},
        {"a coil value not on or off", {0x05, 0, 5, 0x12, 0x34}, true, Kind::Reply, {0x85, 0x03}, {}},
        {"a byte count not the quantity's", {0x10, 1, 0x2C, 0, 2, 2, 0, 1}, true, Kind::Reply, {0x90, 0x03}, {}},
        {"a register queued", {0x06, 0, 100, 0, 42}, true, Kind::Write, {0x06, 0, 100, 0, 42}, {{0, 0, {42}, {}}}},
        {"a coil queued", {0x05, 0, 7, 0xFF, 0}, true, Kind::Write, {0x05, 0, 7, 0xFF, 0}, {{3, 2, {1}, {}}}},
        {"one element of a run", {0x06, 1, 0x2D, 0, 5}, true, Kind::Write, {0x06, 1, 0x2D, 0, 5}, {{6, 1, {5}, {}}}},
        {"registers over two tags",
         {0x10, 1, 0x2C, 0, 3, 6, 0, 7, 0, 8, 0, 9},
         true,
         Kind::Write,
         {0x10, 1, 0x2C, 0, 3},
         {{6, 0, {7, 8}, {}}, {7, 0, {9}, {}}}},
        {"coils", {0x0F, 0, 5, 0, 3, 1, 0x05}, true, Kind::Write, {0x0F, 0, 5, 0, 3}, {{3, 0, {1, 0, 1}, {}}}},
        {"a 32-bit value's raw words read",
         {0x03, 1, 0xF4, 0, 4},
         false,
         Kind::Reply,
         {0x03, 8, 0, 0, 0, 1, 0, 0, 0, 2},
         {}},
        {"a 32-bit value written whole",
         {0x10, 1, 0xF6, 0, 2, 4, 0, 1, 0, 2},
         true,
         Kind::Write,
         {0x10, 1, 0xF6, 0, 2},
         {{9, 2, {1, 2}, {}}}},
        {"one word of a 32-bit value", {0x06, 1, 0xF5, 0, 7}, true, Kind::Reply, {0x86, 0x03}, {}},
        {"words of two 32-bit values", {0x10, 1, 0xF5, 0, 2, 4, 0, 1, 0, 2}, true, Kind::Reply, {0x90, 0x03}, {}},
        {"a 32-bit value and a half", {0x10, 1, 0xF4, 0, 3, 6, 0, 1, 0, 2, 0, 3}, true, Kind::Reply, {0x90, 0x03}, {}},
        {"an empty request", {}, true, Kind::Malformed, {}, {}},
        {"a read cut short", {0x03, 0, 100}, true, Kind::Malformed, {}, {}},
        {"a read with bytes after it", {0x03, 0, 100, 0, 1, 0}, true, Kind::Malformed, {}, {}},
        {"a multiple write cut short", {0x10, 0, 100, 0, 1, 2, 0}, true, Kind::Malformed, {}, {}},
        {"a function with the exception bit", {0x83, 0, 100, 0, 1}, false, Kind::Malformed, {}, {}},
        {"the last function code", {0xFF}, false, Kind::Malformed, {}, {}},
    };
    const kivgate::ModbusMap map(Tags());
    const auto cycle = Cycle();
    const kivgate::Snapshot none;
    for (const HandlerCase& c : cases) {
        SCOPED_TRACE(c.name);
        const ModbusAnswer answer =
            kivgate::AnswerRequest(c.request, map, c.beforeFirstCycle ? none : *cycle, c.allowWrites);
        EXPECT_EQ(answer.kind, c.kind);
        if (c.kind == Kind::Malformed) {
            EXPECT_FALSE(answer.why.empty());
            continue;
        }
        EXPECT_EQ(answer.pdu, c.answer);
        ASSERT_EQ(answer.writes.size(), c.writes.size());
        for (size_t i = 0; i < c.writes.size(); ++i) {
            EXPECT_EQ(answer.writes[i].tag, c.writes[i].tag);
            EXPECT_EQ(answer.writes[i].offset, c.writes[i].offset);
            EXPECT_EQ(answer.writes[i].values, c.writes[i].values);
        }
    }
}

class Log {
public:
    void operator()(const std::string& line)
    {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
    }
    bool Has(const std::string& part)
    {
        std::lock_guard lock(mutex_);
        for (const std::string& line : lines_)
            if (line.find(part) != std::string::npos)
                return true;
        return false;
    }
    size_t Count(const std::string& part)
    {
        std::lock_guard lock(mutex_);
        return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
            return line.find(part) != std::string::npos;
        }));
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// The line's owner as the server sees it: takes each write, waits for the
// test's word, acknowledges (or, for the tag "stuck", fails).
class FakeOwner {
public:
    explicit FakeOwner(kivgate::WriteQueue& queue) : queue_(queue), thread_([this] { Run(); }) {}
    ~FakeOwner()
    {
        stop_ = true;
        thread_.join();
    }
    void Release() { release_ = true; }
    size_t Taken() const { return taken_; }
    std::vector<uint16_t> LastValues()
    {
        std::lock_guard lock(mutex_);
        return last_;
    }

private:
    void Run()
    {
        while (!stop_) {
            std::optional<kivgate::WriteQueue::Pending> write = queue_.Take();
            if (!write) {
                // The queue is looked at between exchanges, as the line's owner does.
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            {
                std::lock_guard lock(mutex_);
                last_ = write->request.values;
            }
            ++taken_;
            WaitUntil([this] { return release_ || stop_; }, std::chrono::minutes(5), std::chrono::milliseconds(2));
            release_ = false;
            // "stuck" went on the line, and its station did not confirm it.
            const bool stuck = write->request.tag == 2;
            write->result.set_value(kivgate::WriteResult{!stuck, stuck ? "no answer from station 1" : "", true});
        }
    }
    kivgate::WriteQueue& queue_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> release_{false};
    std::atomic<size_t> taken_{0};
    std::mutex mutex_;
    std::vector<uint16_t> last_;
    std::thread thread_;
};

modbus_t* Client(uint16_t port)
{
    modbus_t* client = modbus_new_tcp("127.0.0.1", port);
    if (client == nullptr || modbus_connect(client) != 0)
        return nullptr;
    modbus_set_response_timeout(client, 5, 0);
    return client;
}

int RawClient(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

// True once done() is; false after 30 s, so that a fault fails rather than hangs.
bool Eventually(const std::function<bool()>& done)
{
    return WaitUntil(done, std::chrono::seconds(30));
}

// A request with its header, transaction 1.
Bytes Framed(const Bytes& pdu, uint8_t unit = 1)
{
    const size_t length = pdu.size() + 1;
    Bytes frame(7 + pdu.size());
    frame[1] = 1;
    frame[4] = static_cast<uint8_t>(length >> 8);
    frame[5] = static_cast<uint8_t>(length);
    frame[6] = unit;
    std::copy(pdu.begin(), pdu.end(), frame.begin() + 7);
    return frame;
}

// The next answer's PDU; empty when the server closed the connection instead.
Bytes Answer(int fd)
{
    uint8_t answer[300];
    size_t got = 0;
    while (got < 7 || got < 6 + static_cast<size_t>(answer[4] << 8 | answer[5])) {
        const ssize_t part = recv(fd, answer + got, sizeof answer - got, 0);
        if (part <= 0)
            return {};
        got += static_cast<size_t>(part);
    }
    return Bytes(answer + 7, answer + got);
}

Bytes Ask(int fd, const Bytes& pdu, uint8_t unit = 1)
{
    const Bytes frame = Framed(pdu, unit);
    if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
        return {};
    return Answer(fd);
}

// Whether the server has closed fd, waiting for it to (SO_RCVTIMEO bounds each wait).
bool ClosedByServer(int fd)
{
    uint8_t byte = 0;
    return recv(fd, &byte, 1, 0) == 0;
}

TEST(KivgateModbus, ServerOnLoopback)
{
    const std::vector<GateTag> tags = {MakeTag("speed", Space::HoldingRegister, 100, 1, true),
                                       MakeTag("levels", Space::HoldingRegister, 101, 3, false),
                                       MakeTag("stuck", Space::HoldingRegister, 200, 1, true)};
    kivgate::SnapshotStore snapshots;
    auto snapshot = std::make_shared<kivgate::Snapshot>();
    snapshot->cycle = 1;
    snapshot->tags = {Value({1234}), Value({1, 2, 3}), Value({9}, Quality::Down)};
    snapshots.Publish(snapshot);
    kivgate::WriteQueue queue;
    FakeOwner owner(queue);
    Log log;
    kivgate::ModbusSettings settings;
    settings.port = 0;
    settings.maxClients = 3;
    settings.allowWrites = true;
    const auto logged = [&](const std::string& line) { log(line); };
    kivgate::ModbusServer server(settings, tags, snapshots, queue, logged);
    std::string why;
    ASSERT_TRUE(server.Start(&why)) << why;
    ASSERT_NE(server.Port(), 0);
    for (const char* host : {"127.0.0.1", "no-such-host.invalid"}) {
        kivgate::ModbusSettings taken = settings;
        taken.host = host;
        taken.port = server.Port();
        kivgate::ModbusServer second(taken, tags, snapshots, queue, [](const std::string&) {});
        std::string refused;
        EXPECT_FALSE(second.Start(&refused));
        EXPECT_NE(refused.find(std::string("cannot listen on ") + host), std::string::npos) << refused;
    }

    modbus_t* reader = Client(server.Port());
    modbus_t* writer = Client(server.Port());
    ASSERT_NE(reader, nullptr);
    ASSERT_NE(writer, nullptr);

    uint16_t words[4] = {};
    ASSERT_EQ(modbus_read_registers(reader, 100, 4, words), 4) << modbus_strerror(errno);
    EXPECT_EQ(std::vector<uint16_t>(words, words + 4), (std::vector<uint16_t>{1234, 1, 2, 3}));
    EXPECT_EQ(modbus_read_registers(reader, 200, 1, words), -1);
    EXPECT_EQ(errno, EMBXGTAR) << "a station down is not served its last value";

    // The write is answered only once the owner acknowledges; reads go on meanwhile.
    auto written = std::async(std::launch::async, [&] { return modbus_write_register(writer, 100, 42); });
    WaitUntil([&] { return owner.Taken() != 0; });
    ASSERT_EQ(owner.Taken(), 1U);
    EXPECT_EQ(owner.LastValues(), std::vector<uint16_t>{42});
    EXPECT_EQ(modbus_read_registers(reader, 101, 3, words), 3) << "another client waits for a write";
    EXPECT_EQ(written.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    owner.Release();
    EXPECT_EQ(written.get(), 1) << modbus_strerror(errno);

    // A write the station does not confirm is a device failure.
    auto failed = std::async(std::launch::async, [&] {
        const int result = modbus_write_register(writer, 200, 1);
        return result == -1 ? errno : 0;
    });
    WaitUntil([&] { return owner.Taken() != 1; });
    owner.Release();
    EXPECT_EQ(failed.get(), EMBXSFAIL);
    // The line's owner logs what became of a write; the server does not say it again.
    EXPECT_FALSE(log.Has("write to "));

    // A header of another protocol closes that connection alone.
    const int raw = RawClient(server.Port());
    ASSERT_GE(raw, 0);
    const uint8_t bad[] = {0, 1, 0, 7, 0, 6, 1, 3, 0, 100, 0, 1};
    ASSERT_EQ(send(raw, bad, sizeof bad, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof bad));
    uint8_t byte = 0;
    EXPECT_EQ(recv(raw, &byte, 1, 0), 0);
    close(raw);
    EXPECT_TRUE(log.Has("malformed request"));
    EXPECT_EQ(modbus_read_registers(reader, 100, 1, words), 1);

    // A fourth client at once takes the place of the one idle longest: the writer.
    const int third = RawClient(server.Port());
    const int fourth = RawClient(server.Port());
    EXPECT_TRUE(Eventually([&] { return log.Has("3 clients already (--modbus-clients), and it was idle longest"); }));
    EXPECT_EQ(modbus_read_registers(writer, 100, 1, words), -1);
    EXPECT_EQ(modbus_read_registers(reader, 100, 1, words), 1);
    close(third);
    close(fourth);

    modbus_close(reader);
    modbus_free(reader);
    modbus_close(writer);
    modbus_free(writer);
    server.Stop();

    // A client silent past the time-out is closed, one that half sent a request too.
    settings.idleS = 1;
    kivgate::ModbusServer idle(settings, tags, snapshots, queue, logged);
    ASSERT_TRUE(idle.Start(&why)) << why;
    const int silent = RawClient(idle.Port());
    const int half = RawClient(idle.Port());
    ASSERT_EQ(send(half, bad, 3, MSG_NOSIGNAL), 3);
    EXPECT_EQ(recv(silent, &byte, 1, 0), 0);
    EXPECT_EQ(recv(half, &byte, 1, 0), 0);
    EXPECT_TRUE(log.Has("closed: idle for 1 s"));
    close(silent);
    close(half);
}

// What ends a client besides its own hang-up, and what a request too big
// for the queue gets: each row a server of its own, with raw clients.
TEST(KivgateModbus, ClientsEndedOrRefusedWhole)
{
    struct Server {
        kivgate::WriteQueue& queue;
        FakeOwner& owner;
        Log& log;
        uint16_t port;
        std::function<void()> stop;
    };
    struct Case {
        const char* name;
        size_t capacity;
        int maxClients, idleS, requestS;
        std::function<void(Server&)> act;
        const char* logged;
        const char* units = "";  // --modbus-unit; "": any
    };
    // Registers 100..102, a tag each.
    const std::vector<GateTag> tags = {MakeTag("a", Space::HoldingRegister, 100, 1, true),
                                       MakeTag("b", Space::HoldingRegister, 101, 1, true),
                                       MakeTag("c", Space::HoldingRegister, 102, 1, true)};
    const Bytes read = {0x03, 0, 100, 0, 1};
    const Case cases[] = {
        {"a write over more tags than the queue holds", 2, 8, 60, 60,
         [&](Server& server) {
             const int fd = RawClient(server.port);
             EXPECT_EQ(Ask(fd, {0x10, 0, 100, 0, 3, 6, 0, 1, 0, 2, 0, 3}), (Bytes{0x90, 0x02}));
             // Two fit; the owner's first write is theirs, so nothing of the three was queued.
             const Bytes two = Framed({0x10, 0, 100, 0, 2, 4, 0, 5, 0, 6});
             ASSERT_EQ(send(fd, two.data(), two.size(), MSG_NOSIGNAL), static_cast<ssize_t>(two.size()));
             ASSERT_TRUE(Eventually([&] { return server.owner.Taken() == 1; }));
             EXPECT_EQ(server.owner.LastValues(), std::vector<uint16_t>{5});
             server.owner.Release();
             ASSERT_TRUE(Eventually([&] { return server.owner.Taken() == 2; }));
             server.owner.Release();
             EXPECT_EQ(Answer(fd), (Bytes{0x10, 0, 100, 0, 2}));
             close(fd);
         },
         "its 3 tags are more than the write queue ever holds (2)"},
        {"a request dribbled slower than the request time", 4, 8, 60, 1,
         [&](Server& server) {
             const int fd = RawClient(server.port);
             const Bytes frame = Framed(read);
             ASSERT_EQ(send(fd, frame.data(), 3, MSG_NOSIGNAL), 3);
             EXPECT_TRUE(ClosedByServer(fd));
             close(fd);
         },
         "a request not whole 1 s after its first byte"},
        {"bytes that never make a request are not activity", 4, 8, 1, 60,
         [&](Server& server) {
             const int fd = RawClient(server.port);
             EXPECT_EQ(Ask(fd, read), (Bytes{0x03, 2, 0, 7}));
             // A header promising 199 bytes more, then a byte every 100 ms.
             const Bytes header = {0, 2, 0, 0, 0, 200, 1};
             ASSERT_EQ(send(fd, header.data(), header.size(), MSG_NOSIGNAL), 7);
             bool closed = false;
             for (size_t i = 0; i < 100 && !closed; ++i) {
                 closed = send(fd, header.data(), 1, MSG_NOSIGNAL) != 1;
                 pollfd readable{fd, POLLIN, 0};
                 uint8_t byte = 0;
                 closed = closed || (poll(&readable, 1, 100) == 1 && recv(fd, &byte, 1, 0) <= 0);
             }
             EXPECT_TRUE(closed);
             close(fd);
         },
         "closed: idle for 1 s"},
        {"a new client when every place is taken", 4, 2, 60, 60,
         [&](Server& server) {
             const int old = RawClient(server.port);
             const int busy = RawClient(server.port);
             EXPECT_EQ(Ask(busy, read), (Bytes{0x03, 2, 0, 7}));
             const int fresh = RawClient(server.port);
             EXPECT_TRUE(ClosedByServer(old)) << "the client idle longest gave way";
             EXPECT_EQ(Ask(fresh, read), (Bytes{0x03, 2, 0, 7}));
             EXPECT_EQ(Ask(busy, read), (Bytes{0x03, 2, 0, 7}));
             for (int fd : {old, busy, fresh})
                 close(fd);
         },
         "2 clients already (--modbus-clients), and it was idle longest"},
        {"a write still queued when the server stops", 4, 8, 60, 60,
         [&](Server& server) {
             // The owner holds the first write; the second waits in the queue.
             const int held = RawClient(server.port);
             const int queued = RawClient(server.port);
             const Bytes first = Framed({0x06, 0, 100, 0, 1});
             const Bytes second = Framed({0x06, 0, 101, 0, 2});
             ASSERT_EQ(send(held, first.data(), first.size(), MSG_NOSIGNAL), static_cast<ssize_t>(first.size()));
             ASSERT_TRUE(Eventually([&] { return server.owner.Taken() == 1; }));
             ASSERT_EQ(send(queued, second.data(), second.size(), MSG_NOSIGNAL), static_cast<ssize_t>(second.size()));
             ASSERT_TRUE(Eventually([&] { return server.log.Count("queued for") == 2; }));
             server.stop();
             EXPECT_EQ(Answer(queued), (Bytes{0x86, 0x0B}));
             EXPECT_TRUE(ClosedByServer(queued));
             EXPECT_EQ(server.owner.Taken(), 1U) << "never sent";
             close(held);
             close(queued);
         },
         "queued for"},
        {"a function code with the exception bit", 4, 8, 60, 60,
         [&](Server& server) {
             for (const Bytes& pdu : {Bytes{0x80}, Bytes{0x83, 0, 100, 0, 1}, Bytes{0xFF, 0}}) {
                 const int fd = RawClient(server.port);
                 EXPECT_EQ(Ask(fd, pdu).size(), 0U) << "not answered";
                 EXPECT_TRUE(ClosedByServer(fd));
                 close(fd);
             }
         },
         "malformed request (function code"},
        {"units not served", 4, 8, 60, 60,
         [&](Server& server) {
             const int fd = RawClient(server.port);
             for (const uint8_t unit : {1, 5, 6, 7})
                 EXPECT_EQ(Ask(fd, read, unit), (Bytes{0x03, 2, 0, 7})) << "unit " << int{unit};
             for (const uint8_t unit : {0, 2, 4, 8, 255})
                 EXPECT_EQ(Ask(fd, read, unit), (Bytes{0x83, MODBUS_EXCEPTION_GATEWAY_PATH})) << "unit " << int{unit};
             EXPECT_EQ(Ask(fd, {0x06, 0, 100, 0, 1}, 2), (Bytes{0x86, MODBUS_EXCEPTION_GATEWAY_PATH}));
             EXPECT_EQ(server.owner.Taken(), 0U) << "a write to another unit never reaches the line";
             close(fd);
         },
         "unit 2 refused: unit 2 is not served here (units 1,5-7, --modbus-unit)", "1,5-7"},
    };
    kivgate::SnapshotStore snapshots;
    auto snapshot = std::make_shared<kivgate::Snapshot>();
    snapshot->cycle = 1;
    snapshot->tags = {Value({7}), Value({8}), Value({9})};
    snapshots.Publish(snapshot);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kivgate::WriteQueue queue(c.capacity, std::chrono::seconds(60));
        FakeOwner owner(queue);
        Log log;
        kivgate::ModbusSettings settings;
        settings.port = 0;
        settings.allowWrites = true;
        settings.maxClients = c.maxClients;
        settings.idleS = c.idleS;
        settings.requestS = c.requestS;
        if (c.units[0] != '\0') {
            std::string why;
            ASSERT_TRUE(kivgate::ModbusUnits::Parse(c.units, &why)) << why;
            settings.units = *kivgate::ModbusUnits::Parse(c.units, &why);
        }
        const auto logged = [&](const std::string& line) { log(line); };
        kivgate::ModbusServer server(settings, tags, snapshots, queue, logged);
        std::string why;
        ASSERT_TRUE(server.Start(&why)) << why;
        Server running{queue, owner, log, server.Port(), [&server] { server.Stop(); }};
        c.act(running);
        EXPECT_TRUE(Eventually([&] { return log.Has(c.logged); })) << c.logged;
        server.Stop();
    }
}

// What the servers log at each --log-level, through the run's Logger: a
// write refused at info, naming the client and its unit, each connection
// at debug alone, a broker that is not there at warn.
TEST(KivgateLog, EachEventAtItsLevel)
{
    using kivgate::LogLevel;
    const std::string listening = "modbus: listening on 127.0.0.1:";
    const std::string refused = " unit 1 refused: writes are not allowed (--allow-writes)";
    const std::string connected = " connected";
    const std::string closed = " closed: ";
    const std::string broker = "; trying again";
    const std::string error = "the end of the events";  // an error, at every level
    struct Case {
        LogLevel level;
        std::vector<std::string> shown;
    };
    const std::vector<std::string> every = {listening, refused, connected, closed, broker, error};
    const Case cases[] = {
        {LogLevel::Error, {error}},
        {LogLevel::Warn, {broker, error}},
        {LogLevel::Info, {listening, refused, broker, error}},
        {LogLevel::Debug, every},
    };
    std::vector<GateTag> tags = {MakeTag("a", Space::HoldingRegister, 100, 1, true)};
    tags[0].topic = "gw/a";
    kivgate::SnapshotStore snapshots;
    kivgate::WriteQueue queue;
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.level));
        Log log;
        const kivgate::Logger logger([&](const std::string& line) { log(line); });
        logger.SetLevel(c.level);
        kivgate::ModbusSettings settings;
        settings.port = 0;
        kivgate::ModbusServer server(settings, tags, snapshots, queue, logger);
        std::string why;
        ASSERT_TRUE(server.Start(&why)) << why;
        const int fd = RawClient(server.Port());
        EXPECT_EQ(Ask(fd, {0x06, 0, 100, 0, 1}), (Bytes{0x86, 0x02}));
        close(fd);
        server.Stop();
        // A port nobody listens on: the first attempt fails before Stop returns.
        const int probe = RawClient(server.Port());
        ASSERT_LT(probe, 0) << "the port is free again";
        kivgate::MqttSettings mqtt;
        mqtt.port = server.Port();
        kivgate::MqttBridge bridge(mqtt, tags, snapshots, queue, logger);
        ASSERT_TRUE(bridge.Start(&why)) << why;
        bridge.Stop();
        logger.Error(error);
        for (const std::string& event : every) {
            const bool shown = std::find(c.shown.begin(), c.shown.end(), event) != c.shown.end();
            EXPECT_EQ(log.Has(event), shown) << event;
        }
    }
}

// The queue settles each write once: the owner takes it and answers, or it
// is dropped unsent (its tag refused, its deadline passed, its requester
// gone), the parts of one request together.
TEST(KivgateModbus, TheWriteQueueSettlesEachWriteOnce)
{
    using namespace std::chrono_literals;
    enum class Then { Owner, Expire, Withdraw };
    struct Case {
        const char* name;
        size_t capacity;
        std::vector<std::string> refused;  // by tag
        Then then;
        bool queued;
        const char* why;  // of each part dropped; "": done by the owner
    };
    const std::vector<Case> cases = {
        {"taken by the owner", 4, {}, Then::Owner, true, ""},
        {"one part's tag refused", 4, {"", "station 2 (02) is down: no-reply"}, Then::Owner, true, "is down"},
        {"past its deadline", 4, {}, Then::Expire, true, "not sent within 20 ms"},
        {"withdrawn by its requester", 4, {}, Then::Withdraw, true, "has gone"},
        {"no room for every part", 1, {}, Then::Owner, false, ""},
    };
    const std::vector<size_t> tags = {0, 1};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kivgate::WriteQueue queue(c.capacity, c.then == Then::Expire ? 20ms : 60s);
        queue.Refuse(c.refused);
        std::vector<WriteRequest> parts;
        for (size_t tag : tags)
            parts.push_back(WriteRequest{tag, 0, {1}, "test"});
        kivgate::WriteQueue::Submitted submitted = queue.SubmitAll(std::move(parts));
        if (!c.queued) {
            EXPECT_TRUE(submitted.results.empty());
            EXPECT_FALSE(queue.Take().has_value()) << "no part of it queued";
            continue;
        }
        ASSERT_EQ(submitted.results.size(), tags.size());
        if (c.then == Then::Withdraw)
            queue.Withdraw(submitted.batch, "the Modbus client 127.0.0.1:1 has gone");
        if (c.why[0] == '\0') {
            for (size_t tag : tags) {
                std::optional<kivgate::WriteQueue::Pending> pending = queue.Take();
                ASSERT_TRUE(pending.has_value());
                EXPECT_EQ(pending->request.tag, tag);
                pending->result.set_value(kivgate::WriteResult{true, "", true});
            }
            for (std::future<kivgate::WriteResult>& result : submitted.results)
                EXPECT_TRUE(result.get().done);
            continue;
        }
        for (std::future<kivgate::WriteResult>& result : submitted.results) {
            ASSERT_EQ(result.wait_for(30s), std::future_status::ready);
            const kivgate::WriteResult got = result.get();
            EXPECT_FALSE(got.done);
            EXPECT_FALSE(got.sent);
            EXPECT_NE(got.message.find(c.why), std::string::npos) << got.message;
        }
        EXPECT_FALSE(queue.Take().has_value()) << "a write dropped is never sent";
        EXPECT_EQ(queue.TakeDropped().size(), tags.size()) << "each kept for the owner's log";
    }
}

}  // namespace
