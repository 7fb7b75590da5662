// kivgate's MQTT side: the payload rules, then the bridge against a real
// broker, fed snapshots by the test and writes answered by a stand-in for
// the line's owner.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "gate/mqtt_bridge.h"
#include "gate/mqtt_payload.h"
#include "tests/mqtt_broker.h"
#include "tests/small_stack.h"

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
        {"0x10", 1, false, {}, "something after the value"},
        {"", 1, false, {}, "not a number or a JSON array"},
        {"5 6", 1, false, {}, "something after the value"},
        {std::string("1\0"
                     "000",
                     5),
         1,
         false,
         {},
         "a NUL byte at byte 1"},
        {std::string("[1,2,3]\0", 8), 3, false, {}, "a NUL byte at byte 7"},
        {"[1,2,3]]", 3, false, {}, "something after the value"},
        {"[1,2,3] x", 3, false, {}, "something after the value"},
        {std::string(33, '[') + std::string(33, ']'), 1, false, {}, "nested deeper than 32"},
        // Brackets inside a string nest nothing.
        {"\"" + std::string(40, '[') + "\"", 1, false, {}, "not a number"},
        {"[1,{\"a\":[2]},3]", 3, false, {}, "element 1: not a number: an object"},
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

// A formatted tag's values, published scaled and taken scaled: words to
// text, and a set payload back to words or refused with the range.
TEST(KivgateMqttPayload, ScaledValuesPublishedAndTaken)
{
    const ValueFormat tenths{WordFormat::I16, 0.1, 0, "A"};
    const ValueFormat u32{WordFormat::U32, 1, 0, "m3"};
    const ValueFormat f32r{WordFormat::F32R, 1, 0, ""};
    const ValueFormat kelvin{WordFormat::U16, 1, -273.15, ""};
    struct Case {
        ValueFormat format;
        int32_t count;  // words
        std::vector<uint16_t> words;
        std::string published;  // the bare value
        std::string set;
        std::vector<uint16_t> written;  // empty: refused
        std::string why;                // a part of the reason
    } cases[] = {
        {tenths, 1, {123}, "12.3", "12.34", {123}, ""},
        {tenths, 1, {0xFF85}, "-12.3", "-12.35", {0xFF84}, ""},
        {tenths, 1, {0}, "0", "3276.8", {}, "out of the range of i16 with its scale and offset: -3276.8 to 3276.7"},
        {tenths, 2, {1, 2}, "[0.1,0.2]", "[0.5,-0.5]", {5, 0xFFFB}, ""},
        {tenths, 2, {1, 2}, "[0.1,0.2]", "[0.5]", {}, "a run of 2 takes 2 values, not 1"},
        {u32, 2, {1, 0}, "65536", "4294967295", {0xFFFF, 0xFFFF}, ""},
        {u32, 2, {1, 0}, "65536", "[1]", {}, "a single value takes a number"},
        {u32, 2, {1, 0}, "65536", "-1", {}, "out of the range of u32: 0 to 4294967295"},
        {u32, 4, {0, 1, 0, 2}, "[1,2]", "[3,70000]", {0, 3, 1, 4464}, ""},
        {u32, 4, {0, 1, 0, 2}, "[1,2]", "[3,\"4\"]", {}, "element 1: not a number"},
        {f32r, 2, {0, 0x3FC0}, "1.5", "0.1", {0xCCCD, 0x3DCC}, ""},
        {f32r, 2, {0, 0x7FC0}, "null", "1e39", {}, "out of the range of f32r"},
        {kelvin, 1, {300}, "26.85", "true", {}, "not a number"},
        // A plain tag's words stay as they are, and so does its strict rule.
        {{WordFormat::U16, 1, 0, "rpm"}, 1, {1200}, "1200", "1.5", {}, "not a whole number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.published + " / " + c.set);
        const TagValue value{c.words, Quality::Good, At(1), At(1)};
        EXPECT_EQ(TagPayload(value, c.count, PayloadForm::Value, c.format), c.published);
        EXPECT_EQ(TagPayload(value, c.count, PayloadForm::Json, c.format),
                  R"({"value":)" + c.published +
                      R"(,"quality":"good","time":"2024-05-01T00:00:01.000Z","last_good":"2024-05-01T00:00:01.000Z"})");
        const SetPayload got = ParseSetPayload(c.set, c.count, false, c.format);
        EXPECT_EQ(got.values, c.written);
        EXPECT_EQ(got.why.empty(), c.why.empty()) << got.why;
        EXPECT_NE(got.why.find(c.why), std::string::npos) << got.why;
    }
}

// Hostile payloads are refused on a thread with a 1 MB stack, which
// nesting 60000 deep would overflow if anything walked it recursively;
// each refusal quotes at most 64 printable characters of what came.
TEST(KivgateMqttPayload, HostileSetPayloadsRefusedOnASmallStack)
{
    struct Case {
        std::string payload;
        int32_t count;
        std::string why;
    } cases[] = {
        {std::string(60000, '['), 1, "nested deeper than 32"},
        {std::string(30000, '[') + std::string(30000, ']'), 3, "nested deeper than 32"},
        {[] {
             std::string text;
             for (int i = 0; i < 12000; ++i)
                 text += "{\"a\":";
             return text;
         }(),
         1, "nested deeper than 32"},
        {"[" + std::string(60000, '1') + "x]", 1, "not a number or a JSON array"},
        {std::string(1000, '\x01') + "\xff", 1, "not a number or a JSON array"},
        {"[\"" + std::string(60000, 'a') + "\",1,2]", 3, "element 0: not a number"},
    };
    for (const Case& c : cases) {
        SetPayload got;
        ASSERT_TRUE(RunOnSmallStack([&] { got = ParseSetPayload(c.payload, c.count, false); }));
        EXPECT_TRUE(got.values.empty()) << c.why;
        EXPECT_NE(got.why.find(c.why), std::string::npos) << got.why;
        const size_t open = got.why.find('"');
        ASSERT_NE(open, std::string::npos) << got.why;
        const size_t close = got.why.find('"', open + 1);
        ASSERT_NE(close, std::string::npos) << got.why;
        EXPECT_LE(close - open - 1, 64u) << got.why;
        for (const char ch : got.why)
            EXPECT_TRUE(ch >= 0x20 && ch < 0x7f) << got.why;
    }
}

// Two gateways on one host differ by their prefixes; the id keeps to the
// characters every broker takes and to a bounded length.
TEST(KivgateMqttPayload, DefaultClientIdPerHostAndPrefix)
{
    const std::string longHost(40, 'h');
    struct Case {
        std::string host;
        std::string prefix;
        std::string want;  // "": only its length and its difference from the others are known
    } cases[] = {
        {"plant-pc", "kivgate", "kivgate-plant-pc-kivgate"},
        {"plant-pc", "site/line1", "kivgate-plant-pc-site-line1"},
        {"plant-pc", "site/line2", "kivgate-plant-pc-site-line2"},
        {"plant.example.com", "gw", "kivgate-plant-example-com-gw"},
        {"pc", "hall \xc3\xa4+", "kivgate-pc-hall----"},
        {longHost, std::string(60, 'p') + "/line1", ""},
        {longHost, std::string(60, 'p') + "/line2", ""},
    };
    std::set<std::string> ids;
    for (const Case& c : cases) {
        const std::string id = DefaultClientId(c.host, c.prefix);
        if (!c.want.empty()) {
            EXPECT_EQ(id, c.want) << c.prefix;
        }
        EXPECT_LE(id.size(), CLIENT_ID_MAX) << id;
        EXPECT_EQ(id.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_"),
                  std::string::npos)
            << id;
        EXPECT_TRUE(ids.insert(id).second) << id << " twice";
    }

    struct GivenCase {
        std::string id;
        std::string why;  // "": taken
    } given[] = {
        {"line-1 \xc3\xa4", ""},
        {std::string(65535, 'i'), ""},
        {"", "empty"},
        {std::string(65536, 'i'), "at most 65535 bytes"},
        {"a\x01b", "UTF-8 without control characters"},
        {std::string("a\0b", 3), "UTF-8 without control characters"},
        {"a\xff"
         "b",
         "UTF-8 without control characters"},
    };
    for (const GivenCase& c : given) {
        const std::string why = ClientIdProblem(c.id);
        EXPECT_EQ(why.empty(), c.why.empty()) << why;
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
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
            // The queue is looked at between exchanges, as the line's owner does.
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
    mqtt_test::Subscriber after(broker.Port(), "gw/#");
    EXPECT_TRUE(after.WaitFor("gw/status", [](const Message& m) { return Is(m, "offline"); }).retained);
    // No station is served once kivgate stops.
    EXPECT_TRUE(
        after.WaitFor("gw/stations/03/availability", [](const Message& m) { return Is(m, "offline"); }).retained);

    std::lock_guard<std::mutex> lock(logMutex);
    std::string all;
    for (const std::string& line : logs)
        all += line + "\n";
    EXPECT_NE(all.find("broker connected"), std::string::npos) << all;
    EXPECT_NE(all.find("broker lost"), std::string::npos) << all;
    // The line's owner logs what became of a write it took; the bridge does not say it again,
    // but logs each one it refused itself, naming the topic it came on.
    EXPECT_EQ(all.find(" done"), std::string::npos) << all;
    for (const char* refused :
         {"write to r from mqtt gw/r/set refused: bad payload", "write to w from mqtt gw/w/set refused: bad payload",
          "write to b from mqtt gw/b/set refused: b is read-only"})
        EXPECT_NE(all.find(refused), std::string::npos) << refused << " in:\n" << all;
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

// The bridges' log lines, waited on.
class LogLines {
public:
    MqttBridge::Log Sink()
    {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            all_ += line + "\n";
            changed_.notify_all();
        };
    }
    size_t Count(const std::string& part)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return Occurrences(part);
    }
    // Until part was logged count times, or 30 s went by; false then.
    bool WaitFor(const std::string& part, size_t count = 1)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, 30s, [&] { return Occurrences(part) >= count; });
    }
    std::string All()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return all_;
    }

private:
    size_t Occurrences(const std::string& part) const
    {
        size_t count = 0;
        for (size_t at = all_.find(part); at != std::string::npos; at = all_.find(part, at + 1))
            ++count;
        return count;
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string all_;
};

// A message's payload is as wanted: for a JSON object wanted, each of its
// keys as given; otherwise the very text.
bool Matches(const Message& message, const std::string& want)
{
    const nlohmann::json wanted = nlohmann::json::parse(want, nullptr, false);
    if (!wanted.is_object())
        return message.payload == want;
    const nlohmann::json got = Parsed(message);
    if (!got.is_object())
        return false;
    for (const auto& [key, value] : wanted.items())
        if (!got.contains(key) || got[key] != value)
            return false;
    return true;
}

// The snapshots' rules as the broker keeps them: each step's snapshot
// published and its message waited for live, then what a late subscriber
// finds retained, and what was never published.
TEST(KivgateMqttBridge, WhatSnapshotsLeaveRetained)
{
    mqtt_test::Broker broker;
    ASSERT_TRUE(broker.Start());
    const std::vector<GateTag> tags = {Tag("w", 1, kivhost::ValueKind::Word, true),
                                       Tag("b", 1, kivhost::ValueKind::Bit, false),
                                       Tag("r", 3, kivhost::ValueKind::Word, true)};
    // Station 3 up, station 4 down and never heard.
    const auto snapshot = [](uint16_t word, Quality quality, bool portLost) {
        auto next = Cycle(1, word);
        next->tags[0].quality = quality;
        next->portLost = portLost;
        next->stations.push_back(StationDiagnostics{4, true, At(0), "no-reply", {{"no-reply", 1}}, {}, {}});
        return next;
    };
    struct Step {
        std::shared_ptr<Snapshot> snapshot;
        std::string topic;  // the message that says it was taken
        std::string payload;
    };
    using Topics = std::map<std::string, std::string>;
    struct Case {
        const char* name;
        PayloadForm form;
        std::vector<Step> steps;
        Topics retained;                 // at the end
        std::vector<std::string> never;  // topics, or topic=payload, never published
    } cases[] = {
        {"stations' availability beside their diagnostics; no latency for one never heard",
         PayloadForm::Json,
         {{snapshot(5, Quality::Good, false), "stations/04/availability", "offline"}},
         {{"stations/03", R"({"state":"up","latency_ms":{"p50":1.5,"p99":3.0}})"},
          {"stations/03/availability", "online"},
          {"stations/04", R"({"state":"down","latency_ms":{"p50":null,"p99":null}})"},
          {"stations/04/availability", "offline"},
          {"w", R"({"value":5,"quality":"good"})"}},
         {"w/quality", "r/quality"}},
        {"no station up while the port is lost",
         PayloadForm::Json,
         {{snapshot(5, Quality::Good, false), "stations/03/availability", "online"},
          {snapshot(5, Quality::Down, true), "stations/03/availability", "offline"}},
         {{"stations/03", R"({"state":"down"})"},
          {"stations/03/availability", "offline"},
          {"w", R"({"value":5,"quality":"down"})"}},
         {}},
        {"a bare value only when good, its quality beside it",
         PayloadForm::Value,
         {{snapshot(7, Quality::Good, false), "w", "7"}, {snapshot(8, Quality::Failed, false), "w/quality", "failed"}},
         {{"w", "7"}, {"w/quality", "failed"}, {"b", "1"}, {"b/quality", "good"}, {"r/quality", "down"}},
         {"w=8", "r"}},
    };
    int serial = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string prefix = "gw" + std::to_string(++serial);
        std::vector<GateTag> caseTags = tags;
        for (GateTag& tag : caseTags)
            tag.topic = prefix + "/" + tag.tag.name;
        SnapshotStore snapshots;
        WriteQueue writes;
        MqttSettings settings;
        settings.port = broker.Port();
        settings.prefix = prefix;
        settings.payload = c.form;
        MqttBridge bridge(settings, caseTags, snapshots, writes, [](const std::string&) {});
        mqtt_test::Subscriber live(broker.Port(), prefix + "/#");
        ASSERT_TRUE(live.Connected());
        std::string why;
        ASSERT_TRUE(bridge.Start(&why)) << why;
        for (const Step& step : c.steps) {
            snapshots.Publish(step.snapshot);
            EXPECT_FALSE(live.WaitFor(prefix + "/" + step.topic, [&](const Message& m) { return Is(m, step.payload); })
                             .topic.empty())
                << step.topic << " " << step.payload;
        }
        mqtt_test::Subscriber late(broker.Port(), prefix + "/#");
        for (const auto& [topic, payload] : c.retained) {
            const Message got =
                late.WaitFor(prefix + "/" + topic, [want = payload](const Message& m) { return Matches(m, want); });
            EXPECT_TRUE(got.retained) << topic << ": " << late.Last(prefix + "/" + topic).payload;
        }
        for (const std::string& never : c.never) {
            const size_t equals = never.find('=');
            const std::string topic = prefix + "/" + never.substr(0, equals);
            const Message seen = live.WaitFor(
                topic, [&](const Message& m) { return equals == std::string::npos || Is(m, never.substr(equals + 1)); },
                0ms);
            EXPECT_TRUE(seen.topic.empty()) << seen.topic << " " << seen.payload;
        }
    }
}

// A retained command is handed to the bridge at every subscription: it is
// never written, and said once per topic however often it comes.
TEST(KivgateMqttBridge, RetainedSetCommandsAreIgnoredAndSaidOnce)
{
    mqtt_test::Broker broker;
    ASSERT_TRUE(broker.Start());
    const std::vector<GateTag> tags = {Tag("w", 1, kivhost::ValueKind::Word, true),
                                       Tag("r", 3, kivhost::ValueKind::Word, true)};
    struct RetainedSet {
        std::string topic;
        std::string payload;
        size_t results;  // answered: only the live command below
    } retainedSets[] = {{"gw/w/set", "42", 1}, {"gw/r/set", "[1,2,3]", 0}};
    mqtt_test::Subscriber client(broker.Port(), "gw/#");
    ASSERT_TRUE(client.Connected());
    for (const RetainedSet& set : retainedSets) {
        client.Publish(set.topic, set.payload, true);
        ASSERT_FALSE(client.WaitFor(set.topic).topic.empty());  // the broker holds it
    }
    SnapshotStore snapshots;
    WriteQueue writes;
    FakeOwner owner(writes);
    LogLines logs;
    MqttSettings settings;
    settings.port = broker.Port();
    settings.prefix = "gw";
    settings.allowWrites = true;
    MqttBridge bridge(settings, tags, snapshots, writes, logs.Sink());
    std::string why;
    ASSERT_TRUE(bridge.Start(&why)) << why;
    ASSERT_TRUE(logs.WaitFor("broker connected")) << logs.All();

    // Another connection with its id takes the session over: the bridge
    // connects and subscribes again, and is handed the commands again.
    mosquitto* intruder = mosquitto_new(bridge.ClientId().c_str(), true, nullptr);
    ASSERT_EQ(mosquitto_connect(intruder, "127.0.0.1", broker.Port(), 30), MOSQ_ERR_SUCCESS);
    mosquitto_loop(intruder, 1000, 1);
    mosquitto_disconnect(intruder);
    mosquitto_destroy(intruder);
    // Online again: the bridge subscribed before, and the commands handed
    // over then went before a live one now.
    ASSERT_FALSE(client
                     .WaitFor(
                         "gw/status", [](const Message& m) { return Is(m, "online"); }, 10s, 2)
                     .topic.empty())
        << logs.All();
    client.Publish("gw/w/set", "7");
    const Message result = client.WaitFor("gw/w/set/result");
    EXPECT_EQ(result.payload, R"({"done":true,"message":"wrote 1 values"})") << logs.All();

    const std::vector<WriteRequest> taken = owner.Taken();
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].values, std::vector<uint16_t>{7});
    for (const RetainedSet& set : retainedSets) {
        EXPECT_EQ(
            logs.Count("a retained set command on " + set.topic + " was ignored: publish set commands without retain"),
            1u)
            << logs.All();
        EXPECT_TRUE(client.WaitFor(set.topic + "/result", nullptr, 0ms, set.results + 1).topic.empty()) << set.topic;
    }
}

// Two gateways with one client id take the session from each other at each
// connect. Each says why, and waits longer each time: the connects of both
// come slower and slower, where a fixed delay of a second would have made
// them in about five seconds.
TEST(KivgateMqttBridge, OneClientIdTwiceIsNamedAndBackedOff)
{
    mqtt_test::Broker broker;
    ASSERT_TRUE(broker.Start());
    const std::vector<GateTag> tags = {Tag("w", 1, kivhost::ValueKind::Word, false)};
    SnapshotStore snapshots;
    WriteQueue writes;
    MqttSettings settings;
    settings.port = broker.Port();
    settings.prefix = "gw";
    settings.clientId = "twin";
    LogLines logs;  // both gateways'
    const auto start = mqtt_test::Clock::now();
    MqttBridge first(settings, tags, snapshots, writes, logs.Sink());
    MqttBridge second(settings, tags, snapshots, writes, logs.Sink());
    std::string why;
    ASSERT_TRUE(first.Start(&why)) << why;
    ASSERT_TRUE(logs.WaitFor("broker connected")) << logs.All();
    ASSERT_TRUE(second.Start(&why)) << why;
    ASSERT_TRUE(logs.WaitFor("broker connected", 7)) << logs.All();
    EXPECT_GE(mqtt_test::Clock::now() - start, 7500ms) << logs.All();
    EXPECT_GE(logs.Count("another client may be using client id twin"), 1u) << logs.All();
}

// Another client that publishes over kivgate's availability does not leave
// consumers thinking kivgate gone: the bridge puts online back, retained,
// and says so.
TEST(KivgateMqttBridge, StatusOverwrittenByAnotherClientIsPutBack)
{
    mqtt_test::Broker broker;
    ASSERT_TRUE(broker.Start());
    const std::vector<GateTag> tags = {Tag("w", 1, kivhost::ValueKind::Word, false)};
    SnapshotStore snapshots;
    WriteQueue writes;
    MqttSettings settings;
    settings.port = broker.Port();
    settings.prefix = "gw";
    LogLines logs;
    MqttBridge bridge(settings, tags, snapshots, writes, logs.Sink());
    std::string why;
    ASSERT_TRUE(bridge.Start(&why)) << why;
    ASSERT_TRUE(logs.WaitFor("broker connected")) << logs.All();
    mqtt_test::Subscriber other(broker.Port(), "gw/status");
    ASSERT_TRUE(other.Connected());
    ASSERT_FALSE(other.WaitFor("gw/status", [](const Message& m) { return Is(m, "online"); }).topic.empty());
    for (const char* payload : {"offline", "gone\x01"}) {
        other.Publish("gw/status", payload, true);
        EXPECT_TRUE(logs.WaitFor("to gw/status: put online back", payload[0] == 'o' ? 1 : 2)) << logs.All();
    }
    EXPECT_EQ(logs.Count("another client published \"gone?\" to gw/status"), 1u) << logs.All();
    // The log line comes before the broker has the put-back: wait for the
    // broker to pass it on (the first online, then one per overwrite).
    ASSERT_FALSE(other
                     .WaitFor(
                         "gw/status", [](const Message& m) { return Is(m, "online"); }, 10s, 3)
                     .topic.empty())
        << logs.All();
    mqtt_test::Subscriber late(broker.Port(), "gw/status");
    const Message held = late.WaitFor("gw/status");
    EXPECT_EQ(held.payload, "online");
    EXPECT_TRUE(held.retained);
}

// The ways a broker's port can fail to be a broker, each named: a server
// that takes the connection and says nothing; and a client id the bridge
// could not send, refused before any connection.
TEST(KivgateMqttBridge, APortThatIsNoBrokerAndABadClientIdAreNamed)
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = mqtt_test::Loopback(0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    const int port = ntohs(address.sin_port);
    const std::vector<GateTag> tags = {Tag("w", 1, kivhost::ValueKind::Word, false)};
    SnapshotStore snapshots;
    WriteQueue writes;
    MqttSettings settings;
    settings.port = port;
    settings.prefix = "gw";
    settings.keepAliveS = 5;
    LogLines logs;
    {
        MqttBridge bridge(settings, tags, snapshots, writes, logs.Sink());
        std::string why;
        ASSERT_TRUE(bridge.Start(&why)) << why;
        EXPECT_TRUE(logs.WaitFor("the broker at 127.0.0.1:" + std::to_string(port) +
                                 " accepted the connection but did not answer: is it an MQTT broker?"))
            << logs.All();
    }
    close(listener);

    for (const std::string& id : {std::string(), std::string("a\x01"), std::string(70000, 'i')}) {
        settings.clientId = id.empty() ? std::string("x\xff") : id;
        MqttBridge bridge(settings, tags, snapshots, writes, logs.Sink());
        std::string why;
        EXPECT_FALSE(bridge.Start(&why));
        EXPECT_NE(why.find("the MQTT client id: "), std::string::npos) << why;
    }
}

// A 100 MB message on a set topic never reaches kivgate whole: the broker,
// told kivgate's largest packet at every connect, drops it. The bridge runs in a child
// process of its own so that its peak resident memory is its own.
TEST(KivgateMqttBridge, AHugeSetMessageStaysOutOfMemory)
{
    mqtt_test::Broker broker;
    ASSERT_TRUE(broker.Start());
    int toChild[2];
    int fromChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(fromChild), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const std::vector<GateTag> tags = {Tag("w", 1, kivhost::ValueKind::Word, true)};
        SnapshotStore snapshots;
        WriteQueue writes;
        MqttSettings settings;
        settings.port = broker.Port();
        settings.prefix = "gw";
        LogLines logs;
        MqttBridge bridge(settings, tags, snapshots, writes, logs.Sink());
        std::string why;
        if (!bridge.Start(&why) || !logs.WaitFor("broker connected"))
            _exit(1);
        char go = 0;
        if (write(fromChild[1], "r", 1) != 1 || read(toChild[0], &go, 1) != 1)
            _exit(2);
        std::ifstream status("/proc/self/status");
        std::string line;
        long peakKb = -1;
        while (std::getline(status, line))
            if (line.rfind("VmHWM:", 0) == 0)
                peakKb = std::stol(line.substr(6));
        const std::string text = std::to_string(peakKb) + "\n";
        if (write(fromChild[1], text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            _exit(3);
        bridge.Stop();
        _exit(0);
    }
    // The child's ends closed here: a child that ends early is then seen
    // as the end of its pipe.
    close(toChild[0]);
    close(fromChild[1]);
    char ready = 0;
    ASSERT_EQ(read(fromChild[0], &ready, 1), 1);
    // Once on the first connection, once on one libmosquitto's thread made
    // again after the broker came back.
    for (const bool restarted : {false, true}) {
        if (restarted) {
            broker.Kill();
            ASSERT_TRUE(broker.Start());
            mqtt_test::Subscriber status(broker.Port(), "gw/status");
            ASSERT_FALSE(status.WaitFor("gw/status", nullptr, 60s).topic.empty());
        }
        mqtt_test::Subscriber sender(broker.Port(), "gw/w/set/result");
        ASSERT_TRUE(sender.Connected());
        sender.Publish("gw/w/set", std::string(100 * 1024 * 1024, '1'));
        // Behind the huge one: answered once the broker has passed that on,
        // or not.
        sender.Publish("gw/w/set", "x");
        EXPECT_FALSE(sender.WaitFor("gw/w/set/result", nullptr, 120s).topic.empty()) << restarted;
    }
    ASSERT_EQ(write(toChild[1], "g", 1), 1);
    std::string peak;
    for (char c = 0; read(fromChild[0], &c, 1) == 1 && c != '\n';)
        peak += c;
    int status = 0;
    waitpid(child, &status, 0);
    close(toChild[1]);
    close(fromChild[0]);
    ASSERT_FALSE(peak.empty());
    EXPECT_LT(std::stol(peak), 48 * 1024) << peak << " kB";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A broker that speaks only MQTT 3.1.1 refuses an MQTT 5 CONNECT with a
// 3.1.1 CONNACK; the bridge says so and connects with 3.1.1, again after a
// lost connection. The stand-in answers each CONNECT by its protocol level.
TEST(KivgateMqttBridge, ABrokerOfMqtt311OnlyIsSpokenTo)
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = mqtt_test::Loopback(0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    std::vector<int> levels;  // of each CONNECT, in order
    std::mutex levelsMutex;
    std::thread server([&] {
        std::vector<int> kept;
        for (int connects = 0; connects < 3; ++connects) {
            const int peer = accept(listener, nullptr, nullptr);
            if (peer < 0)
                break;
            // Fixed header, remaining length (one byte for a short CONNECT),
            // then the protocol name "MQTT" and its level.
            unsigned char head[9];
            size_t got = 0;
            for (ssize_t n = 1; got < sizeof head && n > 0; got += static_cast<size_t>(n))
                n = read(peer, head + got, sizeof head - got);
            const int level = got == sizeof head ? head[8] : -1;
            {
                std::lock_guard<std::mutex> lock(levelsMutex);
                levels.push_back(level);
            }
            const unsigned char connack[] = {0x20, 0x02, 0x00, static_cast<unsigned char>(level == 4 ? 0 : 1)};
            // The first 3.1.1 connection is lost at once: the reconnect must
            // speak 3.1.1 too.
            if (write(peer, connack, sizeof connack) != sizeof connack || level != 4 || connects == 1)
                close(peer);
            else
                kept.push_back(peer);
        }
        for (const int peer : kept)
            close(peer);
    });
    const std::vector<GateTag> tags = {Tag("w", 1, kivhost::ValueKind::Word, false)};
    SnapshotStore snapshots;
    WriteQueue writes;
    MqttSettings settings;
    settings.port = ntohs(address.sin_port);
    settings.prefix = "gw";
    LogLines logs;
    {
        MqttBridge bridge(settings, tags, snapshots, writes, logs.Sink());
        std::string why;
        ASSERT_TRUE(bridge.Start(&why)) << why;
        EXPECT_TRUE(logs.WaitFor("speaks MQTT 3.1.1 only")) << logs.All();
        EXPECT_TRUE(logs.WaitFor("broker connected", 2)) << logs.All();
    }
    shutdown(listener, SHUT_RDWR);
    server.join();
    close(listener);
    std::lock_guard<std::mutex> lock(levelsMutex);
    EXPECT_EQ(levels, (std::vector<int>{5, 4, 4})) << logs.All();
}

}  // namespace
