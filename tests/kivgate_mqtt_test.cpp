// kivgate's MQTT side: the payload rules, then the bridge against a real
// broker, fed snapshots by the test and writes answered by a stand-in for
// the line's owner.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "mqtt_bridge.h"
#include "mqtt_broker.h"
#include "mqtt_payload.h"

namespace {

using namespace kivgate;
using namespace std::chrono_literals;
using mqtt_test::Message;

WallTime At(int second)
{
    return WallTime(std::chrono::sys_days(std::chrono::year(2024) / 5 / 1)) + std::chrono::seconds(second);
}

TEST(KivgateMqttPayload, RulesOfWhatIsPublishedAndTaken)
{
    const TagValue good{{1234}, Quality::Good, At(1), At(1)};
    const TagValue failedRun{{1, 2, 3}, Quality::Failed, At(2), At(1)};
    const TagValue neverRead{{}, Quality::Down, At(3), std::nullopt};
    struct PayloadCase {
        TagValue value;
        int32_t count;
        PayloadForm form;
        std::string want;
    } payloads[] = {
        {good, 1, PayloadForm::Json,
         R"({"value":1234,"quality":"good","time":"2024-05-01T00:00:01.000Z","last_good":"2024-05-01T00:00:01.000Z"})"},
        {failedRun, 3, PayloadForm::Json,
         R"({"value":[1,2,3],"quality":"failed","time":"2024-05-01T00:00:02.000Z","last_good":"2024-05-01T00:00:01.000Z"})"},
        {neverRead, 1, PayloadForm::Json,
         R"({"value":null,"quality":"down","time":"2024-05-01T00:00:03.000Z","last_good":null})"},
        {TagValue{{1}, Quality::BadData, At(4), At(4)}, 1, PayloadForm::Json,
         R"({"value":1,"quality":"bad-data","time":"2024-05-01T00:00:04.000Z","last_good":"2024-05-01T00:00:04.000Z"})"},
        {TagValue{}, 1, PayloadForm::Json, R"({"value":null,"quality":"none","time":null,"last_good":null})"},
        {good, 1, PayloadForm::Value, "1234"},
        {failedRun, 3, PayloadForm::Value, "[1,2,3]"},
        // A run of one is still a run: an array.
        {good, 2, PayloadForm::Value, "[1234]"},
        // Never an empty payload: the broker would take it as "forget this".
        {neverRead, 1, PayloadForm::Value, "null"},
    };
    for (const PayloadCase& c : payloads)
        EXPECT_EQ(TagPayload(c.value, c.count, c.form), c.want) << c.want;

    StationDiagnostics station{3, true, At(5), "no-reply", {{"no-reply", 4}, {"checksum", 1}}, 12.5, 40.25};
    EXPECT_EQ(StationTopic("site/line1", 3), "site/line1/stations/03");
    EXPECT_EQ(StationPayload(station),
              R"({"station":3,"state":"down","since":"2024-05-01T00:00:05.000Z","last_reason":"no-reply",)"
              R"("failures":{"no-reply":4,"checksum":1},"latency_ms":{"p50":12.5,"p99":40.25}})");
    EXPECT_EQ(ResultPayload({true, "wrote 1 value"}), R"({"done":true,"message":"wrote 1 value"})");

    struct SetCase {
        std::string payload;
        int32_t count;
        bool bits;
        std::vector<uint16_t> want;  // empty: refused
        std::string why;             // a part of the reason
    } sets[] = {
        {"5", 1, false, {5}, ""},
        {" 65535\n", 1, false, {65535}, ""},
        {"0", 1, false, {0}, ""},
        {"65536", 1, false, {}, "out of range 0..65535"},
        {"-1", 1, false, {}, "out of range"},
        {"99999999999999999999999", 1, false, {}, "whole number"},
        {"1.5", 1, false, {}, "whole number"},
        {"1e2", 1, false, {}, "whole number"},
        {"0x10", 1, false, {}, "not a number or a JSON array"},
        {"", 1, false, {}, "not a number or a JSON array"},
        {"5 6", 1, false, {}, "not a number or a JSON array"},
        {"true", 1, false, {}, "not a number"},
        {"\"5\"", 1, false, {}, "not a number"},
        {"[5]", 1, false, {}, "not an array"},
        {"1", 1, true, {1}, ""},
        {"2", 1, true, {}, "out of range 0..1"},
        {"[1,2,3]", 3, false, {1, 2, 3}, ""},
        {"[0,1]", 2, true, {0, 1}, ""},
        {"[1,2]", 3, false, {}, "takes 3 values, not 2"},
        {"[1,2,3,4]", 3, false, {}, "not 4"},
        {"7", 3, false, {}, "takes a JSON array"},
        {"[1,\"2\",3]", 3, false, {}, "element 1: not a number"},
        {"[1,[2],3]", 3, false, {}, "element 1"},
        {"[0,70000]", 2, false, {}, "element 1: out of range"},
        {"{\"value\":1}", 1, false, {}, "not a number"},
        {std::string(70000, '1'), 1, false, {}, "too long"},
    };
    for (const SetCase& c : sets) {
        const SetPayload got = ParseSetPayload(c.payload, c.count, c.bits);
        EXPECT_EQ(got.values, c.want) << c.payload.substr(0, 40);
        EXPECT_EQ(got.why.empty(), c.why.empty()) << c.payload.substr(0, 40) << ": " << got.why;
        EXPECT_NE(got.why.find(c.why), std::string::npos) << c.payload.substr(0, 40) << ": " << got.why;
    }

    EXPECT_EQ(TopicProblem("site/line1/flow"), "");
    EXPECT_NE(TopicProblem(""), "");
    EXPECT_NE(TopicProblem("site/+/flow"), "");
    EXPECT_NE(TopicProblem("site/#"), "");
    EXPECT_NE(TopicProblem(std::string("site/\xff")), "");
}

GateTag Tag(std::string name, int32_t count, kivhost::ValueKind kind, bool writable)
{
    GateTag tag;
    tag.tag.name = name;
    tag.tag.count = count;
    tag.tag.kind = kind;
    tag.topic = "gw/" + name;
    tag.writable = writable;
    return tag;
}

// Stands in for the line's owner: takes the writes and says they were done.
class FakeOwner {
public:
    explicit FakeOwner(WriteQueue& queue) : queue_(queue), thread_([this] { Run(); }) {}
    ~FakeOwner()
    {
        stop_ = true;
        thread_.join();
    }
    std::vector<WriteRequest> Taken()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return taken_;
    }

private:
    void Run()
    {
        while (!stop_) {
            if (std::optional<WriteQueue::Pending> next = queue_.Take()) {
                next->result.set_value({true, "wrote " + std::to_string(next->request.values.size()) + " values"});
                std::lock_guard<std::mutex> lock(mutex_);
                taken_.push_back(next->request);
            }
            std::this_thread::sleep_for(5ms);
        }
    }
    WriteQueue& queue_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<WriteRequest> taken_;
    std::thread thread_;
};

std::shared_ptr<Snapshot> Cycle(uint64_t cycle, uint16_t word)
{
    auto snapshot = std::make_shared<Snapshot>();
    snapshot->cycle = cycle;
    snapshot->time = WallTime::clock::now();
    snapshot->tags = {TagValue{{word}, Quality::Good, snapshot->time, snapshot->time},
                      TagValue{{1}, Quality::Good, snapshot->time, snapshot->time},
                      TagValue{{7, 8, 9}, Quality::Down, snapshot->time, At(0)}};
    snapshot->stations = {StationDiagnostics{3, false, At(0), "", {{"no-reply", 2}}, 1.5, 3.0}};
    return snapshot;
}

nlohmann::json Parsed(const Message& message)
{
    return nlohmann::json::parse(message.payload, nullptr, false);
}

bool Is(const Message& message, const std::string& payload)
{
    return message.payload == payload;
}

// Once the bridge has published the word, a subscriber that comes later
// must find everything retained. A subscriber that is there already gets the
// messages live, without the retained flag.
void ExpectRetainedState(int port, uint16_t word)
{
    {
        mqtt_test::Subscriber live(port, "gw/#");
        ASSERT_TRUE(live.Connected());
        live.WaitFor("gw/w", [&](const Message& m) { return Parsed(m)["value"] == word; });
        live.WaitFor("gw/stations/03");
    }
    mqtt_test::Subscriber late(port, "gw/#");
    ASSERT_TRUE(late.Connected());
    EXPECT_TRUE(late.WaitFor("gw/status", [](const Message& m) { return Is(m, "online") && m.retained; }).retained);
    const Message w = late.WaitFor("gw/w");
    EXPECT_TRUE(w.retained) << w.payload;
    EXPECT_EQ(Parsed(w)["value"], word) << w.payload;
    EXPECT_EQ(Parsed(w)["quality"], "good");
    const Message b = late.WaitFor("gw/b");
    EXPECT_TRUE(b.retained) << b.payload;
    EXPECT_EQ(Parsed(b)["value"], 1) << b.payload;
    const Message r = late.WaitFor("gw/r");
    EXPECT_TRUE(r.retained) << r.payload;
    EXPECT_EQ(Parsed(r)["value"], nlohmann::json::parse("[7,8,9]")) << r.payload;
    EXPECT_EQ(Parsed(r)["quality"], "down");
    EXPECT_EQ(Parsed(r)["last_good"], "2024-05-01T00:00:00.000Z");
    const Message station = late.WaitFor("gw/stations/03");
    EXPECT_TRUE(station.retained) << station.payload;
    EXPECT_EQ(Parsed(station)["failures"]["no-reply"], 2) << station.payload;
}

TEST(KivgateMqttBridge, RetainedStateWritesAndABrokerThatComesBack)
{
    mqtt_test::Broker broker;
    ASSERT_TRUE(broker.Start());
    const std::vector<GateTag> tags = {Tag("w", 1, kivhost::ValueKind::Word, true),
                                       Tag("b", 1, kivhost::ValueKind::Bit, false),
                                       Tag("r", 3, kivhost::ValueKind::Word, true)};
    SnapshotStore snapshots;
    WriteQueue writes;
    FakeOwner owner(writes);
    std::mutex logMutex;
    std::vector<std::string> logs;
    MqttSettings settings;
    settings.port = broker.Port();
    settings.prefix = "gw";
    settings.allowWrites = true;
    settings.password = "very-secret";
    MqttBridge bridge(settings, tags, snapshots, writes, [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(logMutex);
        logs.push_back(line);
    });
    std::string why;
    ASSERT_TRUE(bridge.Start(&why)) << why;
    snapshots.Publish(Cycle(1, 1234));
    ExpectRetainedState(broker.Port(), 1234);
    {
        mqtt_test::Subscriber late(broker.Port(), "gw/#");
        ASSERT_TRUE(late.Connected());

        // A change goes out at once.
        snapshots.Publish(Cycle(2, 4321));
        EXPECT_EQ(Parsed(late.WaitFor("gw/w", [](const Message& m) { return Parsed(m)["value"] == 4321; }))["value"],
                  4321);

        struct SetCase {
            std::string topic;
            std::string payload;
            bool done;
            std::string message;  // a part of it
        } cases[] = {
            {"gw/w", "100", true, "wrote 1 values"},  {"gw/r", "[4, 5, 6]", true, "wrote 3 values"},
            {"gw/r", "[4, 5]", false, "bad payload"}, {"gw/w", "70000", false, "out of range"},
            {"gw/b", "0", false, "read-only"},
        };
        for (const SetCase& c : cases) {
            late.Publish(c.topic + "/set", c.payload);
            const Message result = late.WaitFor(c.topic + "/set/result", [&](const Message& m) {
                return m.payload.find(c.message) != std::string::npos;
            });
            EXPECT_FALSE(result.retained) << c.topic << " " << c.payload;
            EXPECT_EQ(Parsed(result)["done"], c.done) << c.topic << " " << c.payload << ": " << result.payload;
        }
        const std::vector<WriteRequest> taken = owner.Taken();
        ASSERT_EQ(taken.size(), 2u);
        EXPECT_EQ(taken[0].tag, 0u);
        EXPECT_EQ(taken[0].values, std::vector<uint16_t>{100});
        EXPECT_EQ(taken[1].tag, 2u);
        EXPECT_EQ(taken[1].values, (std::vector<uint16_t>{4, 5, 6}));
    }

    // A broker without persistence comes back empty: the bridge fills it again.
    broker.Kill();
    ASSERT_TRUE(broker.Start());
    ExpectRetainedState(broker.Port(), 4321);
    {
        mqtt_test::Subscriber late(broker.Port(), "gw/#");
        ASSERT_TRUE(late.Connected());
        late.Publish("gw/w/set", "5");
        EXPECT_EQ(Parsed(late.WaitFor("gw/w/set/result"))["done"], true);
    }

    mqtt_test::Subscriber watcher(broker.Port(), "gw/status");
    ASSERT_TRUE(watcher.WaitFor("gw/status", [](const Message& m) { return Is(m, "online"); }).retained);
    bridge.Stop();
    EXPECT_EQ(watcher.WaitFor("gw/status", [](const Message& m) { return Is(m, "offline"); }).payload, "offline");
    mqtt_test::Subscriber after(broker.Port(), "gw/status");
    EXPECT_TRUE(after.WaitFor("gw/status", [](const Message& m) { return Is(m, "offline"); }).retained);

    std::lock_guard<std::mutex> lock(logMutex);
    std::string all;
    for (const std::string& line : logs)
        all += line + "\n";
    EXPECT_NE(all.find("broker connected"), std::string::npos) << all;
    EXPECT_NE(all.find("broker lost"), std::string::npos) << all;
    // The line's owner logs what became of a write; the bridge does not say it again.
    EXPECT_EQ(all.find("write "), std::string::npos) << all;
    EXPECT_EQ(all.find("very-secret"), std::string::npos) << all;
}

// Without leave to write, every set is answered and none reaches the line.
TEST(KivgateMqttBridge, WritesRefusedWithoutLeave)
{
    mqtt_test::Broker broker;
    ASSERT_TRUE(broker.Start());
    const std::vector<GateTag> tags = {Tag("w", 1, kivhost::ValueKind::Word, true)};
    SnapshotStore snapshots;
    WriteQueue writes;
    MqttSettings settings;
    settings.port = broker.Port();
    settings.prefix = "gw";
    MqttBridge bridge(settings, tags, snapshots, writes, [](const std::string&) {});
    std::string why;
    ASSERT_TRUE(bridge.Start(&why)) << why;
    mqtt_test::Subscriber client(broker.Port(), "gw/#");
    ASSERT_EQ(client.WaitFor("gw/status", [](const Message& m) { return Is(m, "online"); }).payload, "online");
    client.Publish("gw/w/set", "1");
    const Message result = client.WaitFor("gw/w/set/result");
    EXPECT_EQ(Parsed(result)["done"], false) << result.payload;
    EXPECT_NE(result.payload.find("not allowed"), std::string::npos) << result.payload;
    EXPECT_FALSE(writes.Take().has_value());
}

}  // namespace
