// kivgate run as a program between plcsim run as a program on a paced line,
// a real mosquitto and a libmodbus TCP client: what a SCADA package and an
// MQTT subscriber see of the stations, and what their writes do to them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <modbus/modbus.h>
#include <nlohmann/json.hpp>

#include "gate/max_age.h"
#include "gate/write_failure.h"
#include "tests/kivhost_line_fixture.h"
#include "tests/mqtt_broker.h"
#include "tests/plcsim_process.h"
#include "tests/wait_until.h"

namespace {

using kivhost_test::KivhostRunning;
using kivhost_test::Outcome;
using mqtt_test::Broker;
using mqtt_test::Message;
using mqtt_test::Subscriber;
using namespace std::chrono_literals;
using Json = nlohmann::json;

// Station 1 holds what the tags read; station 2 answers only once its first
// requests have gone unheard (plcsim's scripted silence).
const char TAGS[] = "name,address,count,type,modbus,topic,access\n"
                    "w,01W0010,,,hr:0,,rw\n"
                    "run,01W0020,3,,hr:10,,rw\n"
                    "ro,01W0030,,,hr:20,,\n"
                    "b,01B0100,,,coil:0,,rw\n"
                    "bits,01B0101,3,,coil:10,,rw\n"
                    "bro,01B0104,,,coil:20,,ro\n"
                    "iw,01W0040,,,ir:0,,\n"
                    "di,01B0105,,,di:0,,\n"
                    "wbit,01W00183,,bit,coil:30,,rw\n"
                    "word,01W0018,,,hr:40,,\n"
                    "s1b,01W0011,,,hr:29,,rw\n"
                    "s2,02W0010,,,hr:30,,rw\n";

const std::vector<std::string> MEMORY = {"--set", "1:W0010=0x1234", "--set", "1:W0020=1",   "--set", "1:W0021=2",
                                         "--set", "1:W0022=3",      "--set", "1:W0030=7",   "--set", "1:W0040=0xBEEF",
                                         "--set", "1:B0100=1",      "--set", "1:B0102=1",   "--set", "1:B0105=1",
                                         "--set", "1:W0018=0x00F0", "--set", "2:W0010=0x55"};

const std::string PREFIX = "kg";

enum Function { ReadHolding, ReadInput, ReadCoils, ReadDiscrete, WriteRegister, WriteRegisters, WriteCoil, WriteCoils };

// plcsim, the broker, kivgate between them, and a Modbus client and an MQTT
// subscriber of the test's own; everything ended with the test.
class Gateway {
public:
    // gateArgs: after the line, tag file, Modbus and MQTT options.
    Gateway(std::vector<std::string> simArgs, const std::vector<std::string>& gateArgs)
    {
        static int serial = 0;
        // A port name holds at most 11 characters.
        link_ = "/tmp/kg" + std::to_string(getpid() % 1000) + static_cast<char>('a' + serial++ % 26);
        tags_ = dir_ / "tags.csv";
        std::ofstream(tags_) << TAGS;
        if (!broker_.Start())
            return;
        subscriber_ = std::make_unique<Subscriber>(broker_.Port(), PREFIX + "/#");
        if (!subscriber_->Connected())
            return;
        simArgs.insert(simArgs.end(), {"--stations", "1,2", "--pace", "--link", link_});
        simArgs.insert(simArgs.end(), MEMORY.begin(), MEMORY.end());
        sim_ = std::make_unique<KivhostRunning>(simArgs, PLCSIM_PATH);
        if (!sim_->ReadUntil([](const Outcome& so) { return so.out.find('\n') != std::string::npos; }))
            return;
        std::vector<std::string> args = {"--port",
                                         link_,
                                         "--retry-down",
                                         "1",
                                         tags_,
                                         "--modbus-listen",
                                         "127.0.0.1:0",
                                         "--http",
                                         "127.0.0.1:0",
                                         "--mqtt",
                                         "127.0.0.1:" + std::to_string(broker_.Port()),
                                         "--mqtt-prefix",
                                         PREFIX};
        // A short time-out unless the test holds the line in an exchange.
        if (std::find(gateArgs.begin(), gateArgs.end(), "--timeout") == gateArgs.end())
            args.insert(args.end(), {"--timeout", "100"});
        // Cycles back to back unless the test paces them: the tests wait on what a cycle shows.
        if (std::find(gateArgs.begin(), gateArgs.end(), "--interval") == gateArgs.end())
            args.insert(args.end(), {"--interval", "0"});
        args.insert(args.end(), gateArgs.begin(), gateArgs.end());
        gate_ = std::make_unique<KivhostRunning>(args, KIVGATE_PATH);
        if (!gate_->ReadUntil([](const Outcome& so) { return so.err.find("scanning ") != std::string::npos; }))
            return;
        // Port 0: the system's pick, which the gateway's log names.
        const std::string listening = "modbus: listening on 127.0.0.1:";
        const std::string& log = gate_->SoFar().err;
        if (const size_t at = log.find(listening); at != std::string::npos)
            modbusPort_ = std::atoi(log.c_str() + at + listening.size());
        if (modbusPort_ <= 0)
            return;
        client_ = modbus_new_tcp("127.0.0.1", modbusPort_);
        // A write is answered once the station acknowledged it.
        modbus_set_response_timeout(client_, 5, 0);
        ready_ = modbus_connect(client_) == 0;
    }
    ~Gateway()
    {
        if (client_ != nullptr) {
            modbus_close(client_);
            modbus_free(client_);
        }
        // Stopped, not killed: plcsim removes its link.
        if (sim_) {
            sim_->SendInterrupt();
            sim_->ReadUntil([](const Outcome&) { return false; });
            sim_->Wait();
        }
    }
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    bool Ready() const { return ready_; }
    // plcsim's line unplugged, or plugged in again.
    void TogglePort() { sim_->Send(SIGUSR1); }
    // A new tag file, read again as a service manager's reload asks.
    void Reload(const std::string& tags)
    {
        std::ofstream(tags_) << tags;
        gate_->SendHangup();
    }
    Subscriber& Mqtt() { return *subscriber_; }
    int BrokerPort() const { return broker_.Port(); }

    // A request's answer: the values read, or errno of the failure
    // (MODBUS_ENOBASE + the exception code for an exception).
    struct Answer {
        std::vector<uint16_t> values;
        int error = 0;
    };
    Answer Request(Function function, int address, std::vector<uint16_t> values)
    {
        Answer answer;
        const int count = static_cast<int>(values.size());
        std::vector<uint8_t> bits(values.begin(), values.end());
        int rc = -1;
        switch (function) {
        case ReadHolding: rc = modbus_read_registers(client_, address, count, values.data()); break;
        case ReadInput: rc = modbus_read_input_registers(client_, address, count, values.data()); break;
        case ReadCoils:
            rc = modbus_read_bits(client_, address, count, bits.data());
            values.assign(bits.begin(), bits.end());
            break;
        case ReadDiscrete:
            rc = modbus_read_input_bits(client_, address, count, bits.data());
            values.assign(bits.begin(), bits.end());
            break;
        case WriteRegister: rc = modbus_write_register(client_, address, values.at(0)); break;
        case WriteRegisters: rc = modbus_write_registers(client_, address, count, values.data()); break;
        case WriteCoil: rc = modbus_write_bit(client_, address, values.at(0)); break;
        case WriteCoils: rc = modbus_write_bits(client_, address, count, bits.data()); break;
        }
        if (rc < 0)
            answer.error = errno;
        else
            answer.values = values;
        return answer;
    }

    // Asks again until the answer passes the test or thirty seconds went by; the
    // last answer either way.
    Answer RequestUntil(Function function, int address, size_t count, const std::function<bool(const Answer&)>& test)
    {
        Answer answer;
        WaitUntil(
            [&] {
                answer = Request(function, address, std::vector<uint16_t>(count, 0));
                return test(answer);
            },
            30s, 20ms);
        return answer;
    }
    Answer ReadUntilValues(Function function, int address, const std::vector<uint16_t>& want)
    {
        return RequestUntil(function, address, want.size(), [&](const Answer& a) { return a.values == want; });
    }

    // plcsim as a signal finds it: SIGSTOP holds the line quiet in the
    // middle of an exchange, SIGUSR1 pulls its adapter.
    void SignalSim(int signal) { sim_->Send(signal); }
    // Whether plcsim, or kivgate's log, says it before a minute is out.
    bool SimSays(const std::string& text)
    {
        return sim_->ReadUntil([&](const Outcome& so) { return so.out.find(text) != std::string::npos; });
    }
    bool GateSays(const std::string& text)
    {
        return gate_->ReadUntil([&](const Outcome& so) { return so.err.find(text) != std::string::npos; });
    }
    const std::string& LinkPath() const { return link_; }
    int ModbusPort() const { return modbusPort_; }

    // As a service manager stops it: its status and everything it logged.
    Outcome Terminate()
    {
        gate_->SendTerminate();
        gate_->ReadUntil([](const Outcome&) { return false; });
        return gate_->Wait();
    }

private:
    plcsim_test::TempDir dir_;
    Broker broker_;
    std::unique_ptr<Subscriber> subscriber_;
    std::string link_;
    std::string tags_;
    std::unique_ptr<KivhostRunning> sim_;
    std::unique_ptr<KivhostRunning> gate_;
    int modbusPort_ = 0;
    modbus_t* client_ = nullptr;
    bool ready_ = false;
};

Json Parsed(const Message& message)
{
    return Json::parse(message.payload, nullptr, false);
}

// The first JSON payload on PREFIX/topic that passes the test.
Json WaitForJson(Subscriber& mqtt, const std::string& topic, const std::function<bool(const Json&)>& test)
{
    return Parsed(mqtt.WaitFor(PREFIX + "/" + topic, [&](const Message& m) {
        const Json json = Parsed(m);
        return !json.is_discarded() && test(json);
    }));
}

TEST(KivgateLine, WordsBitsAndRunsReadAsTheStationHoldsThem)
{
    Gateway gate({}, {});
    ASSERT_TRUE(gate.Ready());
    struct Case {
        const char* tag;
        Function function;
        int address;
        std::vector<uint16_t> values;
        Json value;  // in the MQTT payload
    };
    const std::vector<Case> cases = {
        {"w", ReadHolding, 0, {0x1234}, 0x1234},
        {"run", ReadHolding, 10, {1, 2, 3}, Json::array({1, 2, 3})},
        {"ro", ReadHolding, 20, {7}, 7},
        {"iw", ReadInput, 0, {0xBEEF}, 0xBEEF},
        {"b", ReadCoils, 0, {1}, 1},
        {"bits", ReadCoils, 10, {0, 1, 0}, Json::array({0, 1, 0})},
        {"di", ReadDiscrete, 0, {1}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        const Gateway::Answer answer = gate.ReadUntilValues(c.function, c.address, c.values);
        EXPECT_EQ(answer.values, c.values) << modbus_strerror(answer.error);
        const Message message = gate.Mqtt().WaitFor(PREFIX + "/" + c.tag);
        ASSERT_FALSE(message.topic.empty());
        const Json json = Parsed(message);
        ASSERT_FALSE(json.is_discarded()) << message.payload;
        EXPECT_EQ(json["value"], c.value) << message.payload;
        EXPECT_EQ(json["quality"], "good") << message.payload;
        EXPECT_TRUE(json["last_good"].is_string()) << message.payload;
    }
    // A retained copy for whoever subscribes later.
    Subscriber late(gate.BrokerPort(), PREFIX + "/run");
    ASSERT_TRUE(late.Connected());
    const Message retained = late.WaitFor(PREFIX + "/run");
    EXPECT_TRUE(retained.retained);
    EXPECT_EQ(Parsed(retained)["value"], Json::array({1, 2, 3})) << retained.payload;
}

TEST(KivgateLine, ASilentStationIsDownThenComesBack)
{
    // Its first 24 requests unheard: at four attempts a try and a try a
    // second, several seconds down.
    Gateway gate({"--script", "2:silent:24"}, {"--allow-writes"});
    ASSERT_TRUE(gate.Ready());
    const Json down = WaitForJson(gate.Mqtt(), "stations/02", [](const Json& j) { return j["state"] == "down"; });
    ASSERT_FALSE(down.is_null());
    EXPECT_EQ(down["last_reason"], "no-reply") << down.dump();
    const Json s2 = WaitForJson(gate.Mqtt(), "s2", [](const Json& j) { return j["quality"] == "down"; });
    EXPECT_TRUE(s2["value"].is_null()) << s2.dump();
    // Station 1 is served meanwhile; station 2's register is no stale value.
    EXPECT_EQ(gate.ReadUntilValues(ReadHolding, 0, {0x1234}).values, std::vector<uint16_t>{0x1234});
    const Gateway::Answer failed = gate.Request(ReadHolding, 30, {0});
    EXPECT_EQ(failed.error, EMBXGTAR) << modbus_strerror(failed.error);

    // A write to it fails at once, over either side, naming it: not sent,
    // so the target failed to respond.
    const Gateway::Answer write = gate.Request(WriteRegister, 30, {9});
    EXPECT_EQ(write.error, EMBXGTAR) << modbus_strerror(write.error);
    gate.Mqtt().Publish(PREFIX + "/s2/set", "9");
    const Message result = gate.Mqtt().WaitFor(PREFIX + "/s2/set/result");
    EXPECT_EQ(Parsed(result)["done"], false) << result.payload;
    EXPECT_NE(result.payload.find("station 2 (02) is down: no-reply"), std::string::npos) << result.payload;

    const Json up = WaitForJson(gate.Mqtt(), "stations/02", [](const Json& j) { return j["state"] == "up"; });
    ASSERT_FALSE(up.is_null());
    const Json back = WaitForJson(gate.Mqtt(), "s2", [](const Json& j) { return j["quality"] == "good"; });
    EXPECT_EQ(back["value"], 0x55) << back.dump();
    EXPECT_EQ(gate.ReadUntilValues(ReadHolding, 30, {0x55}).values, std::vector<uint16_t>{0x55});
    const Outcome run = gate.Terminate();
    EXPECT_NE(run.err.find("station 2 (02) stopped answering"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("station 2 (02) answers again"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("write to s2 from modbus 127.0.0.1:"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("write to s2 from mqtt kg/s2/set failed"), std::string::npos) << "never sent:\n" << run.err;
}

// Without its port no station can be reached: none is served up, whatever
// it answered last; once the port is back, they are up again.
TEST(KivgateLine, NoStationIsUpWhileThePortIsLost)
{
    Gateway gate({}, {});
    ASSERT_TRUE(gate.Ready());
    const auto is = [](const char* payload) { return [payload](const Message& m) { return m.payload == payload; }; };
    const std::vector<std::string> stations = {"stations/01", "stations/02"};
    for (const std::string& station : stations)
        ASSERT_FALSE(gate.Mqtt().WaitFor(PREFIX + "/" + station + "/availability", is("online")).topic.empty());
    gate.TogglePort();
    for (const std::string& station : stations) {
        SCOPED_TRACE(station);
        EXPECT_FALSE(gate.Mqtt().WaitFor(PREFIX + "/" + station + "/availability", is("offline")).topic.empty());
        EXPECT_FALSE(WaitForJson(gate.Mqtt(), station, [](const Json& j) { return j["state"] == "down"; }).is_null());
    }
    gate.TogglePort();
    Subscriber after(gate.BrokerPort(), PREFIX + "/stations/#");
    for (const std::string& station : stations)
        EXPECT_FALSE(after.WaitFor(PREFIX + "/" + station + "/availability", is("online")).topic.empty()) << station;
}

// A write and where it is read back over Modbus after the station took it.
struct WriteCase {
    const char* name;
    Function function;  // or, with topic, MQTT
    int address;
    std::vector<uint16_t> values;
    const char* topic;  // "": over Modbus
    const char* payload;
    Function readBack;
    int readAddress;
    std::vector<uint16_t> expected;
};

void Write(Gateway& gate, const WriteCase& c, bool expectDone)
{
    if (c.topic[0] == '\0') {
        const Gateway::Answer answer = gate.Request(c.function, c.address, c.values);
        EXPECT_EQ(answer.error, expectDone ? 0 : EMBXILADD) << modbus_strerror(answer.error);
        return;
    }
    gate.Mqtt().Publish(PREFIX + "/" + c.topic + "/set", c.payload);
    const Message result = gate.Mqtt().WaitFor(PREFIX + "/" + c.topic + "/set/result");
    const Json json = Parsed(result);
    ASSERT_FALSE(json.is_discarded()) << result.payload;
    EXPECT_FALSE(result.retained);
    EXPECT_EQ(json["done"], expectDone) << result.payload;
    if (!expectDone) {
        EXPECT_EQ(json["message"].get<std::string>().rfind("refused: ", 0), 0u) << result.payload;
    }
}

TEST(KivgateLine, WritesReachTheStationAndAreReadBack)
{
    Gateway gate({}, {"--allow-writes"});
    ASSERT_TRUE(gate.Ready());
    const std::vector<WriteCase> cases = {
        {"fc 6", WriteRegister, 0, {0x0BEE}, "", "", ReadHolding, 0, {0x0BEE}},
        {"fc 16, a whole run", WriteRegisters, 10, {10, 20, 30}, "", "", ReadHolding, 10, {10, 20, 30}},
        {"fc 16, inside a run", WriteRegisters, 11, {99}, "", "", ReadHolding, 10, {10, 99, 30}},
        {"fc 5, off", WriteCoil, 0, {0}, "", "", ReadCoils, 0, {0}},
        {"fc 5, on", WriteCoil, 10, {1}, "", "", ReadCoils, 10, {1, 1, 0}},
        {"fc 15", WriteCoils, 10, {0, 0, 1}, "", "", ReadCoils, 10, {0, 0, 1}},
        {"fc 5, a bit of a word keeps the others", WriteCoil, 30, {1}, "", "", ReadHolding, 40, {0xF8}},
        {"mqtt, a word", WriteRegister, 0, {}, "w", "321", ReadHolding, 0, {321}},
        {"mqtt, a run", WriteRegister, 0, {}, "run", "[4,5,6]", ReadHolding, 10, {4, 5, 6}},
        {"mqtt, a bit", WriteRegister, 0, {}, "b", "1", ReadCoils, 0, {1}},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        Write(gate, c, true);
        // Read back at once: what was written is read again before the write is answered.
        const Gateway::Answer answer =
            gate.Request(c.readBack, c.readAddress, std::vector<uint16_t>(c.expected.size()));
        EXPECT_EQ(answer.values, c.expected) << modbus_strerror(answer.error);
    }
    // Each write is logged once, by the line's owner, naming where it came from.
    const Outcome run = gate.Terminate();
    const std::string mqttWrite = "write to w from mqtt " + PREFIX + "/w/set done";
    const size_t at = run.err.find(mqttWrite);
    EXPECT_NE(at, std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(mqttWrite, at + 1), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("write to w from modbus 127.0.0.1:"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("modbus: write"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("write done:"), std::string::npos) << run.err;
}

TEST(KivgateLine, WritesAreRefusedWithoutAllowWritesAndOnReadOnlyTags)
{
    struct Case {
        const char* name;
        bool allowWrites;
        WriteCase write;  // read back: the value is what it was
    };
    const std::vector<Case> cases = {
        {"fc 6 without --allow-writes", false, {"", WriteRegister, 0, {9}, "", "", ReadHolding, 0, {0x1234}}},
        {"fc 16 without --allow-writes", false, {"", WriteRegisters, 10, {9, 9}, "", "", ReadHolding, 10, {1, 2, 3}}},
        {"fc 5 without --allow-writes", false, {"", WriteCoil, 0, {0}, "", "", ReadCoils, 0, {1}}},
        {"mqtt without --allow-writes", false, {"", WriteRegister, 0, {}, "w", "9", ReadHolding, 0, {0x1234}}},
        {"fc 6 on a ro tag", true, {"", WriteRegister, 20, {9}, "", "", ReadHolding, 20, {7}}},
        {"fc 5 on a ro bit", true, {"", WriteCoil, 20, {1}, "", "", ReadCoils, 20, {0}}},
        {"mqtt on a ro tag", true, {"", WriteRegister, 0, {}, "ro", "9", ReadHolding, 20, {7}}},
    };
    for (const bool allowWrites : {false, true}) {
        Gateway gate({}, allowWrites ? std::vector<std::string>{"--allow-writes"} : std::vector<std::string>{});
        ASSERT_TRUE(gate.Ready());
        for (const Case& c : cases) {
            if (c.allowWrites != allowWrites)
                continue;
            SCOPED_TRACE(c.name);
            ASSERT_EQ(gate.ReadUntilValues(c.write.readBack, c.write.readAddress, c.write.expected).values,
                      c.write.expected);
            Write(gate, c.write, false);
            // Two cycles later the station still holds what it held: what must
            // not happen has no moment to wait for, so the test gives it the time.
            std::this_thread::sleep_for(300ms);
            EXPECT_EQ(gate.Request(c.write.readBack, c.write.readAddress, c.write.expected).values, c.write.expected);
        }
        // None reached the line; each is logged at info, naming who asked and why.
        const Outcome run = gate.Terminate();
        for (const char* outcome : {" done: ", " failed: ", " not sent: "})
            EXPECT_EQ(run.err.find(outcome), std::string::npos) << outcome << " in:\n" << run.err;
        const std::vector<std::string> refused =
            allowWrites
                ? std::vector<std::string>{"modbus: write from 127.0.0.1:", " unit 255 refused: ro is read-only",
                                           "refused: bro is read-only",
                                           "write to ro from mqtt kg/ro/set refused: ro is read-only"}
                : std::vector<std::string>{
                      "modbus: write from 127.0.0.1:", " unit 255 refused: writes are not allowed (--allow-writes)",
                      "write to w from mqtt kg/w/set refused: writes are not allowed"};
        for (const std::string& said : refused)
            EXPECT_NE(run.err.find(said), std::string::npos) << said << " in:\n" << run.err;
    }
}

TEST(KivgateLine, SigtermEndsWithOfflineRetained)
{
    Gateway gate({}, {});
    ASSERT_TRUE(gate.Ready());
    ASSERT_FALSE(
        gate.Mqtt().WaitFor(PREFIX + "/status", [](const Message& m) { return m.payload == "online"; }).topic.empty());
    const Outcome run = gate.Terminate();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("kivgate: stopping after the current exchange"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Z stopped\n"), std::string::npos) << run.err;
    Subscriber late(gate.BrokerPort(), PREFIX + "/status");
    ASSERT_TRUE(late.Connected());
    const Message status = late.WaitFor(PREFIX + "/status");
    EXPECT_TRUE(status.retained);
    EXPECT_EQ(status.payload, "offline");
}

// A value not read again within its age is not served as good, judged when
// it is asked for: plcsim stopped in the middle of an exchange holds kivgate
// in it for up to 12 s (4 attempts of 3 s), long before a station is
// called down.
TEST(KivgateLine, AValueNotReadAgainIsStaleWhileTheLineIsQuiet)
{
    struct Case {
        const char* name;
        std::vector<std::string> gateArgs;
    };
    const std::vector<Case> cases = {
        {"--max-age 1", {"--timeout", "3000", "--max-age", "1"}},
        {"the age from the cycles", {"--timeout", "3000"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Gateway gate({}, c.gateArgs);
        ASSERT_TRUE(gate.Ready());
        ASSERT_EQ(gate.ReadUntilValues(ReadHolding, 0, {0x1234}).values, std::vector<uint16_t>{0x1234});
        gate.SignalSim(SIGSTOP);
        const Gateway::Answer stale =
            gate.RequestUntil(ReadHolding, 0, 1, [](const Gateway::Answer& a) { return a.error != 0; });
        const Json told = WaitForJson(gate.Mqtt(), "w", [](const Json& j) { return j["quality"] == "stale"; });
        gate.SignalSim(SIGCONT);
        EXPECT_EQ(stale.error, EMBXGTAR) << modbus_strerror(stale.error);
        EXPECT_EQ(told["value"], 0x1234) << "the last good value, said to be stale: " << told.dump();
        EXPECT_EQ(gate.ReadUntilValues(ReadHolding, 0, {0x1234}).values, std::vector<uint16_t>{0x1234});
        // Stale, not down: no station was given up on.
        const Outcome run = gate.Terminate();
        EXPECT_EQ(run.err.find("stopped answering"), std::string::npos) << run.err;
    }
}

// While the port is lost every station is down and a write fails at once;
// once the port is back a value is down until it has been read again,
// however young. Station 2 answers after 2.5 s, so its first read after the
// port is back comes well after station 1's.
TEST(KivgateLine, AfterThePortIsBackAValueIsDownUntilReadAgain)
{
    Gateway gate({"--fault", "2:delay=2500"}, {"--timeout", "3000", "--max-age", "600", "--allow-writes"});
    ASSERT_TRUE(gate.Ready());
    ASSERT_EQ(gate.ReadUntilValues(ReadHolding, 30, {0x55}).values, std::vector<uint16_t>{0x55});
    gate.SignalSim(SIGUSR1);
    ASSERT_TRUE(gate.GateSays("which is no station's fault"));
    EXPECT_EQ(gate.Request(ReadHolding, 0, {0}).error, EMBXGTAR);
    const Gateway::Answer write = gate.Request(WriteRegister, 0, {9});
    EXPECT_EQ(write.error, EMBXGTAR) << modbus_strerror(write.error);
    const Json lost = WaitForJson(gate.Mqtt(), "stations/01", [](const Json& j) { return j["state"] == "down"; });
    EXPECT_FALSE(lost.is_null());

    gate.SignalSim(SIGUSR1);
    ASSERT_TRUE(gate.SimSays("plugged in again"));
    ASSERT_TRUE(gate.GateSays(" back after "));
    const Gateway::Answer first = gate.ReadUntilValues(ReadHolding, 0, {0x1234});
    ASSERT_EQ(first.values, std::vector<uint16_t>{0x1234}) << modbus_strerror(first.error);
    const Gateway::Answer unread = gate.Request(ReadHolding, 30, {0});
    EXPECT_EQ(unread.error, EMBXGTAR) << "station 2's value from before the loss";
    EXPECT_EQ(gate.ReadUntilValues(ReadHolding, 30, {0x55}).values, std::vector<uint16_t>{0x55});
    const Outcome run = gate.Terminate();
    EXPECT_NE(run.err.find("not sent: station 1 (01) is down: port " + gate.LinkPath() + " is lost"), std::string::npos)
        << run.err;
}

// A write request sent and the connection closed at once, without waiting
// for its answer.
void WriteAndHangUp(int port, uint16_t address, uint16_t value)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        const uint8_t request[] = {0,
                                   1,
                                   0,
                                   0,
                                   0,
                                   6,
                                   1,
                                   6,
                                   static_cast<uint8_t>(address >> 8),
                                   static_cast<uint8_t>(address),
                                   static_cast<uint8_t>(value >> 8),
                                   static_cast<uint8_t>(value)};
        EXPECT_EQ(send(fd, request, sizeof request, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof request));
    }
    close(fd);
}

// A write not sent by its deadline, or whose client has gone, is dropped,
// answered as failed, and never sent later: the line is held in an
// exchange (plcsim stopped) while they wait.
TEST(KivgateLine, AWriteNotSentInTimeIsDroppedForGood)
{
    Gateway gate({}, {"--timeout", "3000", "--write-timeout", "500", "--max-age", "1", "--allow-writes", "--log-level",
                      "debug"});
    ASSERT_TRUE(gate.Ready());
    ASSERT_EQ(gate.ReadUntilValues(ReadHolding, 0, {0x1234}).values, std::vector<uint16_t>{0x1234});
    struct Case {
        const char* name;
        const char* from;  // in the line logged
        const char* why;
    };
    const std::vector<Case> cases = {
        {"modbus", "write to w from modbus 127.0.0.1:", "not sent: not sent within 500 ms"},
        {"mqtt", "write to w from mqtt kg/w/set", "not sent: not sent within 500 ms"},
        {"a modbus client gone", "write to w from modbus 127.0.0.1:", "not sent: the Modbus client 127.0.0.1:"},
    };
    gate.SignalSim(SIGSTOP);
    // Held in an exchange, not between two: its values have gone stale.
    ASSERT_EQ(gate.RequestUntil(ReadHolding, 0, 1, [](const Gateway::Answer& a) { return a.error != 0; }).error,
              EMBXGTAR);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.name == std::string("modbus")) {
            const Gateway::Answer answer = gate.Request(WriteRegister, 0, {0x0BAD});
            EXPECT_EQ(answer.error, EMBXGTAR) << modbus_strerror(answer.error);
        } else if (c.name == std::string("mqtt")) {
            gate.Mqtt().Publish(PREFIX + "/w/set", "2989");
            const Message result = gate.Mqtt().WaitFor(PREFIX + "/w/set/result");
            EXPECT_EQ(Parsed(result)["done"], false) << result.payload;
            EXPECT_NE(result.payload.find("not sent within 500 ms"), std::string::npos) << result.payload;
        } else {
            WriteAndHangUp(gate.ModbusPort(), 0, 0x0BAD);
            ASSERT_TRUE(gate.GateSays("closed: by the client"));
        }
    }
    gate.SignalSim(SIGCONT);
    // A write queued after them to the same block: once it is done and read
    // back, any of them sent before it would show.
    const Gateway::Answer marker =
        gate.RequestUntil(WriteRegister, 29, 1, [](const Gateway::Answer& a) { return a.error == 0; });
    ASSERT_EQ(marker.error, 0) << modbus_strerror(marker.error);
    EXPECT_EQ(gate.Request(ReadHolding, 0, {0}).values, std::vector<uint16_t>{0x1234});
    const Outcome run = gate.Terminate();
    const auto logged = [&run](const std::string& a, const std::string& b) {
        std::istringstream lines(run.err);
        for (std::string line; std::getline(lines, line);)
            if (line.find(a) != std::string::npos && line.find(b) != std::string::npos)
                return true;
        return false;
    };
    for (const Case& c : cases)
        EXPECT_TRUE(logged(c.from, c.why)) << c.name << ":\n" << run.err;
    EXPECT_FALSE(logged("write to w from", " done: ")) << run.err;
}

// A write still queued when kivgate is told to stop is answered (target
// failed: not sent) before its connection closes; the line is held in an
// exchange (plcsim stopped) so that the write cannot be sent first.
TEST(KivgateLine, AStopAnswersTheWritesStillWaiting)
{
    Gateway gate({}, {"--timeout", "3000", "--write-timeout", "600000", "--allow-writes", "--log-level", "debug"});
    ASSERT_TRUE(gate.Ready());
    ASSERT_EQ(gate.ReadUntilValues(ReadHolding, 0, {0x1234}).values, std::vector<uint16_t>{0x1234});
    gate.SignalSim(SIGSTOP);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(gate.ModbusPort()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const uint8_t request[] = {0, 9, 0, 0, 0, 6, 1, 6, 0, 0, 0x0B, 0xAD};
    ASSERT_EQ(send(fd, request, sizeof request, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof request));
    ASSERT_TRUE(gate.GateSays("modbus: queued for 127.0.0.1:"));
    const Outcome run = gate.Terminate();
    gate.SignalSim(SIGCONT);
    uint8_t answer[16] = {};
    size_t got = 0;
    for (ssize_t part = 1; part > 0 && got < sizeof answer; got += static_cast<size_t>(part))
        part = std::max<ssize_t>(recv(fd, answer + got, sizeof answer - got, 0), 0);
    close(fd);
    EXPECT_EQ(std::vector<uint8_t>(answer, answer + got), (std::vector<uint8_t>{0, 9, 0, 0, 0, 3, 1, 0x86, 0x0B}))
        << "answered, then closed";
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("not sent: kivgate is stopping"), std::string::npos) << run.err;
}

// A write over several tags (s1b on station 1, s2 beside it on station 2)
// is checked whole before any part is sent; one the line carries out only
// in part is a device failure, its log naming what was written.
TEST(KivgateLine, AWriteOverSeveralTagsIsWholeOrToldAsPartial)
{
    struct Case {
        const char* name;
        std::vector<std::string> simArgs;
        int error;
        uint16_t s1b;  // read back at once
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"both stations up", {}, 0, 7, "write to s2 from modbus 127.0.0.1:"},
        {"station 2 down: nothing sent", {"--fault", "2:silent"}, EMBXGTAR, 0, "is down: no-reply"},
        {"station 2 refuses: done in part", {"--fault", "2:nak"}, EMBXSFAIL, 7, "done in part: s1b written, s2 not"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Gateway gate(c.simArgs, {"--allow-writes"});
        ASSERT_TRUE(gate.Ready());
        // Station 2 judged first: its register read, refused or its station down.
        if (c.simArgs.empty())
            ASSERT_EQ(gate.ReadUntilValues(ReadHolding, 30, {0x55}).values, std::vector<uint16_t>{0x55});
        else if (c.error == EMBXGTAR)
            ASSERT_FALSE(
                WaitForJson(gate.Mqtt(), "stations/02", [](const Json& j) { return j["state"] == "down"; }).is_null());
        else
            ASSERT_FALSE(
                WaitForJson(gate.Mqtt(), "s2", [](const Json& j) { return j["quality"] == "down"; }).is_null());
        ASSERT_EQ(gate.ReadUntilValues(ReadHolding, 29, {0}).values, std::vector<uint16_t>{0});
        const Gateway::Answer answer = gate.Request(WriteRegisters, 29, {7, 8});
        EXPECT_EQ(answer.error, c.error) << modbus_strerror(answer.error);
        EXPECT_EQ(gate.Request(ReadHolding, 29, {0}).values, std::vector<uint16_t>{c.s1b});
        const Outcome run = gate.Terminate();
        EXPECT_NE(run.err.find(c.logged), std::string::npos) << run.err;
    }
}

// Station 2 misbehaving in each way plcsim knows does not cost station 1 its
// values: at most 1 in 100 reads of them are not good.
TEST(KivgateLine, AHealthyStationIsServedBesideAFaultyOne)
{
    constexpr int READS = 200;
    for (const char* fault : {"nak", "wrong", "noise", "extra", "corrupt"}) {
        SCOPED_TRACE(fault);
        Gateway gate({"--fault", std::string("2:") + fault}, {});
        ASSERT_TRUE(gate.Ready());
        ASSERT_EQ(gate.ReadUntilValues(ReadHolding, 0, {0x1234}).values, std::vector<uint16_t>{0x1234});
        int good = 0;
        // Spread over many cycles, as a SCADA package polls: the pace is the stimulus.
        for (int i = 0; i < READS; ++i, std::this_thread::sleep_for(20ms))
            good += gate.Request(ReadHolding, 0, {0}).values == std::vector<uint16_t>{0x1234} ? 1 : 0;
        EXPECT_GE(good * 100, READS * 99) << good << " of " << READS;
    }
}

// A write's failure is told of the station it was meant for: a reply another
// station gave late is never passed off as its answer.
TEST(KivgateLine, AWriteFailureNamesItsOwnStation)
{
    using kivhost::Outcome;
    struct Case {
        const char* name;
        Outcome outcome;
        kivhost::Doubt doubt;
        int answering;
        const char* reply;
        const char* said;
        const char* unsaid;
    };
    const std::vector<Case> cases = {
        {"its own refusal", Outcome::Nak, kivhost::Doubt::None, -1, "/N02SW5A\r",
         "station 2 (02) did not acknowledge the write of 02W0010", ""},
        {"another station's late refusal", Outcome::Nak, kivhost::Doubt::None, -1, "/N01RW00051D...",
         "no acknowledgement from station 2 (02) to the write of 02W0010", "did not acknowledge"},
        {"another station's reply", Outcome::WrongStation, kivhost::Doubt::None, 3, "/A03SW56",
         "no acknowledgement from station 2 (02)", "answered the write"},
        {"acknowledged by another station", Outcome::Good, kivhost::Doubt::OtherStation, 1, "/A01SW54",
         "what came was station 1 (01)'s reply", "was acknowledged by"},
        {"no reply at all", Outcome::NoReply, kivhost::Doubt::None, -1, "", "no reply from station 2 (02)", ""},
    };
    DriverAddress address{2, 'W', 0x10, NO_BIT, 16};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kivhost::ExchangeReport report;
        report.traced = true;
        report.outcome = c.outcome;
        report.outcomes = {c.outcome, c.outcome};
        report.doubt = c.doubt;
        report.answeringStation = c.answering;
        report.replyStart = c.reply;
        const std::string message = kivgate::WriteFailure(address, "02W0010", RECOVERY_ERROR, report, 100);
        EXPECT_NE(message.find(c.said), std::string::npos) << message;
        if (c.unsaid[0] != '\0') {
            EXPECT_EQ(message.find(c.unsaid), std::string::npos) << message;
        }
    }
}

// How old a value may be: three times the median of the recent healthy
// cycles, at least 2 s, unless fixed; a cycle that was not healthy counts
// for nothing.
TEST(KivgateLine, TheMaxAgeFollowsTheHealthyCycles)
{
    using std::chrono::milliseconds;
    struct Case {
        const char* name;
        milliseconds fixed;
        milliseconds interval;
        std::vector<std::pair<int, bool>> cycles;  // period to the next start, healthy
        milliseconds age;
    };
    const std::vector<Case> cases = {
        {"before any cycle", milliseconds(0), milliseconds(0), {}, milliseconds(2000)},
        {"before any period, a long interval", milliseconds(0), milliseconds(5000), {}, milliseconds(15000)},
        {"fast cycles: the floor", milliseconds(0), milliseconds(0), {{50, true}, {60, true}}, milliseconds(2000)},
        {"the median of slow ones",
         milliseconds(0),
         milliseconds(0),
         {{900, true}, {1000, true}, {30000, true}},
         milliseconds(3000)},
        {"an unhealthy cycle left out",
         milliseconds(0),
         milliseconds(0),
         {{1000, true}, {9000, false}},
         milliseconds(3000)},
        {"fixed", milliseconds(7000), milliseconds(0), {{1000, true}}, milliseconds(7000)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kivgate::MaxAge age(c.fixed, c.interval);
        kivgate::SteadyTime start{std::chrono::hours(1)};
        bool healthy = false;
        for (const auto& [period, wasHealthy] : c.cycles) {
            age.CycleBegins(start, healthy);
            start += milliseconds(period);
            healthy = wasHealthy;
        }
        age.CycleBegins(start, healthy);
        EXPECT_EQ(age.Value(), c.age);
    }
}

// Home Assistant finds every tag retained under its discovery prefix, sees
// an entity go unavailable with its station, and loses the entity of a tag
// taken out of the file at the next start; another gateway's config stays.
TEST(KivgateLine, HomeAssistantDiscoveryFollowsTheTagsAndStations)
{
    Gateway gate({"--script", "2:silent:24"}, {"--allow-writes", "--ha-discovery"});
    ASSERT_TRUE(gate.Ready());
    Subscriber ha(gate.BrokerPort(), "homeassistant/#");
    ASSERT_TRUE(ha.Connected());
    struct Case {
        const char* config;  // under homeassistant/, before /config
        const char* tag;
        const char* station;
    };
    const Case cases[] = {
        {"number/kg/w", "w", "01"},   {"sensor/kg/run_3", "run", "01"},          {"sensor/kg/ro", "ro", "01"},
        {"switch/kg/b", "b", "01"},   {"binary_sensor/kg/bits_2", "bits", "01"}, {"binary_sensor/kg/di", "di", "01"},
        {"number/kg/s2", "s2", "02"},
    };
    // Once there, a retained copy for whoever subscribes later.
    ASSERT_FALSE(ha.WaitFor("homeassistant/number/kg/s2/config").topic.empty());
    Subscriber first(gate.BrokerPort(), "homeassistant/#");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.config);
        const Message message = first.WaitFor("homeassistant/" + std::string(c.config) + "/config");
        EXPECT_TRUE(message.retained);
        const Json config = Parsed(message);
        ASSERT_TRUE(config.is_object()) << message.payload;
        EXPECT_EQ(config["state_topic"], PREFIX + "/" + c.tag);
        EXPECT_EQ(config["availability"][0]["topic"], PREFIX + "/status");
        EXPECT_EQ(config["availability"][1]["topic"], PREFIX + "/stations/" + c.station + "/availability");
    }

    const std::string station2 = PREFIX + "/stations/02/availability";
    ASSERT_FALSE(gate.Mqtt().WaitFor(station2, [](const Message& m) { return m.payload == "offline"; }).topic.empty());
    Subscriber after(gate.BrokerPort(), station2);
    EXPECT_FALSE(after
                     .WaitFor(
                         station2, [](const Message& m) { return m.payload == "online"; }, 30s)
                     .topic.empty());

    const std::string foreign = "homeassistant/sensor/kg/foreign/config";
    ha.Publish(foreign, R"({"state_topic":"x","device":{"identifiers":["kivgate_other"]}})", true);
    std::string tags = TAGS;
    const std::string row = "ro,01W0030,,,hr:20,,\n";
    tags.erase(tags.find(row), row.size());
    gate.Reload(tags);
    const std::string removed = "homeassistant/sensor/kg/ro/config";
    EXPECT_FALSE(ha.WaitFor(
                       removed, [](const Message& m) { return m.payload.empty(); }, 60s)
                     .topic.empty());
    Subscriber late(gate.BrokerPort(), "homeassistant/#");
    EXPECT_TRUE(late.WaitFor("homeassistant/number/kg/w/config").retained);
    EXPECT_TRUE(late.WaitFor(foreign).retained);
    EXPECT_TRUE(late.Last(removed).topic.empty()) << late.Last(removed).payload;
}

}  // namespace
