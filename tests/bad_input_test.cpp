// Every host-facing field fed its bad values, through KivMain: null
// pointers, counts out of range, port names too long or unterminated, tag
// types out of range, address texts with bytes above 0x7F, unknown command
// codes, and every command before ColdStart on a zero-filled and on a
// garbage-filled ChannelBlock. Each case checks the result code, that no
// byte outside what the command may write changed (guard bytes around every
// record, the request itself included), that a rejection printed nothing,
// and that nothing reached the line.
#include <gtest/gtest.h>

#include <climits>
#include <functional>

#include "tests/case_name.h"
#include "tests/driver_fixture.h"
#include "tests/reliability_support.h"

namespace {

constexpr size_t GUARD = 64;
constexpr uint8_t GUARD_BYTE = 0xE7;
constexpr uint8_t GARBAGE = 0xA5;
constexpr char MISSING_PORT[] = "/tmp/kvnone";

// Every record of one call, each between guard bytes.
struct Arena {
    uint8_t guard0[GUARD];
    DriverRequest request;
    uint8_t guard1[GUARD];
    ChannelBlock channel;
    uint8_t guard2[GUARD];
    union {
        ColdStartBlock cold;
        ChangeParamsBlock change;
        AddressParseBlock parse;
        IoBlock io;
        DriverInfoBlock info;
        uint8_t raw[64];
    } params;
    uint8_t guard3[GUARD];
    uint16_t values[300];
    uint8_t guard4[GUARD];
    char text[300];
    uint8_t guard5[GUARD];
};

// What a command may write besides nothing.
enum Allowed : unsigned {
    NOTHING = 0,
    ADDRESS = 1,       // the DriverAddress of the parse block
    AREAS = 2,         // the channel's txArea and rxArea
    CHANNEL_HEAD = 4,  // the channel's time-out, enabled flag, handle, name, settings, line flags
    INFO = 8,          // the DriverInfoBlock, words 5 and 6 apart
};

enum class Start { ZeroFilled, GarbageFilled, Open };

struct BadCase {
    std::string name;
    Start start;
    uint32_t code;
    // Changes the valid request for the code into the bad one.
    std::function<void(Arena&)> spoil;
    int32_t result;
    unsigned allowed;
    bool ends = false;          // EndKiv ends the whole driver
    bool nullRequest = false;   // KivMain gets no request at all
    bool checkAddress = false;  // the parse block's address must be exactly `address`
    DriverAddress address{};
};

void PrintTo(const BadCase& c, std::ostream* os)
{
    *os << c.name;
}

const char* CommandName(uint32_t code)
{
    static const char* const names[] = {"Code0",           "ColdStart", "WarmStart",   "SingleParser", "BlockParser",
                                        "SingleRead",      "BlockRead", "SingleWrite", "Code8",        "Code9",
                                        "BlockWrite",      "EndKiv",    "CloseCom",    "ReOpenCom",    "GetKivInfo",
                                        "ChangeKivParams", "Code16"};
    return code < 17 ? names[code] : "CodeOutside";
}

// A request any command would take, pointing into the arena.
void MakeValid(Arena& a, uint32_t code)
{
    a.request.channel = &a.channel;
    a.request.code = code;
    std::memset(a.request.hostFields, 0x11, sizeof a.request.hostFields);
    a.request.params = &a.params;
    std::strcpy(a.text, "01W0010");
    for (size_t i = 0; i < 300; ++i)
        a.values[i] = static_cast<uint16_t>(0xBE00 + i);
    switch (code) {
    case CMD_COLD_START:
        std::strcpy(a.params.cold.portName, "NUL");
        a.params.cold.enable = 1;
        a.params.cold.timeout = 5;
        a.params.cold.settings = Settings8N1();
        break;
    case CMD_SINGLE_ADDRESS_PARSER:
    case CMD_BLOCK_ADDRESS_PARSER:
        a.params.parse.text = a.text;
        a.params.parse.tagType = 0;
        a.params.parse.count = 1;
        std::memset(&a.params.parse.address, 0x5C, sizeof a.params.parse.address);
        break;
    case CMD_SINGLE_READ:
    case CMD_BLOCK_READ:
    case CMD_SINGLE_WRITE:
    case CMD_BLOCK_WRITE:
        a.params.io.address = DriverAddress{1, 'W', 0x10, NO_BIT, 16};
        a.params.io.count = 2;
        a.params.io.values = a.values;
        break;
    case CMD_CHANGE_KIV_PARAMS:
        std::strcpy(a.params.change.portName, MISSING_PORT);
        a.params.change.settings = Settings8N1();
        break;
    default: break;
    }
}

std::vector<BadCase> Cases()
{
    std::vector<BadCase> cases;
    const auto add = [&](std::string name, Start start, uint32_t code, std::function<void(Arena&)> spoil,
                         int32_t result, unsigned allowed) {
        cases.push_back({std::move(name), start, code, std::move(spoil), result, allowed});
        return &cases.back();
    };
    const auto none = [](Arena&) {};

    cases.push_back({"NullRequest", Start::Open, CMD_BLOCK_READ, none, REJECTED, NOTHING, false, true});

    // No channel, no parameter block, no values.
    for (uint32_t code : {1u, 2u, 5u, 6u, 7u, 10u, 11u, 12u, 13u, 15u})
        add(
            std::string("NullChannel") + CommandName(code), Start::Open, code,
            [](Arena& a) { a.request.channel = nullptr; }, REJECTED, NOTHING);
    for (uint32_t code : {1u, 3u, 4u, 5u, 6u, 7u, 10u, 14u, 15u})
        add(
            std::string("NullParams") + CommandName(code), Start::Open, code,
            [](Arena& a) { a.request.params = nullptr; }, REJECTED, NOTHING);
    for (uint32_t code : {5u, 6u, 7u, 10u})
        add(
            std::string("NullValues") + CommandName(code), Start::Open, code,
            [](Arena& a) { a.params.io.values = nullptr; }, REJECTED, NOTHING);
    for (uint32_t code : {3u, 4u})
        add(
            std::string("NullText") + CommandName(code), Start::Open, code,
            [](Arena& a) { a.params.parse.text = nullptr; }, REJECTED, NOTHING);

    // Codes without a command.
    for (uint32_t code : {0u, 8u, 9u, 16u, 17u, 0x80000000u, 0xFFFFFFFFu})
        add("UnknownCode" + std::to_string(code), Start::Open, code, none, RECOVERY_ERROR, NOTHING);

    // IoBlock fields out of range, on an open line: refused before anything
    // is built, sent or traced.
    struct IoField {
        const char* name;
        std::function<void(IoBlock&)> set;
    };
    const std::vector<IoField> ioFields = {
        {"CountMinus1", [](IoBlock& io) { io.count = -1; }},
        {"Count256", [](IoBlock& io) { io.count = 256; }},
        {"CountIntMin", [](IoBlock& io) { io.count = INT_MIN; }},
        {"CountIntMax", [](IoBlock& io) { io.count = INT_MAX; }},
        {"Station0", [](IoBlock& io) { io.address.station = 0; }},
        {"Station33", [](IoBlock& io) { io.address.station = 33; }},
        {"StationMinus1", [](IoBlock& io) { io.address.station = -1; }},
        {"Station257", [](IoBlock& io) { io.address.station = 0x101; }},
        {"Operand0", [](IoBlock& io) { io.address.operand = 0; }},
        {"OperandC", [](IoBlock& io) { io.address.operand = 'C'; }},
        {"OperandLowerW", [](IoBlock& io) { io.address.operand = 'w'; }},
        {"OperandWWithHighBits", [](IoBlock& io) { io.address.operand = 0x100 | 'W'; }},
        {"NumberMinus1", [](IoBlock& io) { io.address.number = -1; }},
        {"Number10000", [](IoBlock& io) { io.address.number = 0x10000; }},
        {"NumberIntMin", [](IoBlock& io) { io.address.number = INT_MIN; }},
        {"Bit16", [](IoBlock& io) { io.address.bit = 16; }},
        {"BitMinus1", [](IoBlock& io) { io.address.bit = -1; }},
        {"Bit254", [](IoBlock& io) { io.address.bit = 254; }},
        {"Bit256", [](IoBlock& io) { io.address.bit = 256; }},
        {"ABit8",
         [](IoBlock& io) {
             io.address = {1, 'A', 0x108, NO_BIT, 1};
         }},
        {"AByte20",
         [](IoBlock& io) {
             io.address = {1, 'A', 0x200, NO_BIT, 1};
         }},
        {"EBit8",
         [](IoBlock& io) {
             io.address = {1, 'E', 0x1F8, NO_BIT, 1};
         }},
    };
    for (const IoField& field : ioFields)
        for (uint32_t code : {CMD_SINGLE_READ, CMD_BLOCK_READ, CMD_SINGLE_WRITE, CMD_BLOCK_WRITE})
            add(
                std::string(field.name) + CommandName(code), Start::Open, code,
                [set = field.set](Arena& a) { set(a.params.io); }, REJECTED, NOTHING);

    // Address texts: a byte above 0x7F anywhere in the eight positions stops
    // the parse at the character check, with every field at its default.
    for (int position = 0; position < 8; ++position) {
        for (uint8_t byte : {uint8_t{0x80}, uint8_t{0xB0}, uint8_t{0xFF}}) {
            BadCase* c = add(
                "HighByte" + std::to_string(byte) + "AtPosition" + std::to_string(position), Start::Open,
                CMD_SINGLE_ADDRESS_PARSER,
                [position, byte](Arena& a) {
                    std::strcpy(a.text, "01W00105");
                    a.text[position] = static_cast<char>(byte);
                    a.params.parse.tagType = 6;
                },
                REJECTED, ADDRESS);
            c->checkAddress = true;
            c->address = {0, 0, 0, NO_BIT, 1};
        }
    }
    // Tag types out of range: parsed all the way, then refused.
    for (uint32_t tagType : {2u, 5u, 7u, 0x80000006u, 0xFFFFFFFFu}) {
        BadCase* c = add(
            "TagType" + std::to_string(tagType), Start::Open, CMD_SINGLE_ADDRESS_PARSER,
            [tagType](Arena& a) { a.params.parse.tagType = tagType; }, REJECTED, ADDRESS);
        c->checkAddress = true;
        c->address = {1, 'W', 0x10, NO_BIT, 16};
    }
    for (int32_t count : {256, 0x10000, INT_MAX}) {
        BadCase* c = add(
            "ParseCount" + std::to_string(count), Start::Open, CMD_BLOCK_ADDRESS_PARSER,
            [count](Arena& a) { a.params.parse.count = count; }, REJECTED, ADDRESS);
        c->checkAddress = true;
        c->address = {1, 'W', 0x10, NO_BIT, 16};
    }
    {
        BadCase* c = add(
            "TextLongerThanTheCopy", Start::Open, CMD_SINGLE_ADDRESS_PARSER,
            [](Arena& a) {
                std::memset(a.text, 'Z', sizeof a.text - 1);
                std::memcpy(a.text, "01W0010 ", 8);
                a.text[sizeof a.text - 1] = '\0';
            },
            SUCCESS, ADDRESS);
        c->checkAddress = true;
        c->address = {1, 'W', 0x10, NO_BIT, 16};
    }

    // Port names: too long or without their NUL.
    add(
        "ColdStartNameUnterminated", Start::ZeroFilled, CMD_COLD_START,
        [](Arena& a) { std::memset(a.params.cold.portName, 'N', sizeof a.params.cold.portName); }, REJECTED, NOTHING);
    add(
        "ColdStartNameUnterminatedOnAnOpenChannel", Start::Open, CMD_COLD_START,
        [](Arena& a) { std::memset(a.params.cold.portName, 'N', sizeof a.params.cold.portName); }, REJECTED, NOTHING);
    add(
        "ColdStartNameUnterminatedDisabled", Start::ZeroFilled, CMD_COLD_START,
        [](Arena& a) {
            std::memset(a.params.cold.portName, 'N', sizeof a.params.cold.portName);
            a.params.cold.enable = 0;
        },
        SUCCESS, CHANNEL_HEAD);
    add(
        "ColdStartNameEmpty", Start::ZeroFilled, CMD_COLD_START, [](Arena& a) { a.params.cold.portName[0] = '\0'; },
        RECOVERY_ERROR, CHANNEL_HEAD);
    add(
        "ColdStartNameHighBytes", Start::ZeroFilled, CMD_COLD_START,
        [](Arena& a) { std::strcpy(a.params.cold.portName, "COM\xFF\xB0"); }, RECOVERY_ERROR, CHANNEL_HEAD);
    for (size_t length : {12u, 15u})
        add(
            "ChangeKivParamsName" + std::to_string(length) + "Characters", Start::Open, CMD_CHANGE_KIV_PARAMS,
            [length](Arena& a) {
                std::memset(a.params.change.portName, 'N', length);
                a.params.change.portName[length] = '\0';
            },
            REJECTED, NOTHING);
    add(
        "ChangeKivParamsNameUnterminated", Start::Open, CMD_CHANGE_KIV_PARAMS,
        [](Arena& a) { std::memset(a.params.change.portName, 'N', sizeof a.params.change.portName); }, REJECTED,
        NOTHING);
    add(
        "ChangeKivParamsNameHighBytes", Start::ZeroFilled, CMD_CHANGE_KIV_PARAMS,
        [](Arena& a) { std::strcpy(a.params.change.portName, "/tmp/\xFF\xFE"); }, RECOVERY_ERROR, CHANNEL_HEAD);

    // Line settings a port refuses: the open fails and leaves nothing open.
    struct SettingsCase {
        const char* name;
        PortSettings settings;
    };
    for (const SettingsCase& s :
         {SettingsCase{"Baud0", {0, 8, 0, 0}}, SettingsCase{"DataBits4", {9600, 4, 0, 0}},
          SettingsCase{"DataBits9", {9600, 9, 0, 0}}, SettingsCase{"DataBitsLowByte9", {9600, 0xFF09, 0, 0}},
          SettingsCase{"Parity5", {9600, 8, 0, 5}}, SettingsCase{"StopBits3", {9600, 8, 3, 0}}}) {
        add(
            std::string("ColdStart") + s.name, Start::ZeroFilled, CMD_COLD_START,
            [settings = s.settings](Arena& a) {
                a.params.cold.settings = settings;
                std::strcpy(a.params.cold.portName, "SIMLINE");  // replaced by the line's path
            },
            RECOVERY_ERROR, CHANNEL_HEAD);
        add(
            std::string("ChangeKivParams") + s.name, Start::ZeroFilled, CMD_CHANGE_KIV_PARAMS,
            [settings = s.settings](Arena& a) {
                a.params.change.settings = settings;
                std::strcpy(a.params.change.portName, "SIMLINE");
            },
            RECOVERY_ERROR, CHANNEL_HEAD);
    }

    // Every command before ColdStart, with its request otherwise valid.
    struct EarlyCase {
        uint32_t code;
        int32_t zeroResult;
        unsigned zeroAllowed;
        int32_t garbageResult;
        unsigned garbageAllowed;
    };
    const EarlyCase early[] = {
        {CMD_WARM_START, SUCCESS, NOTHING, SUCCESS, NOTHING},
        {CMD_SINGLE_ADDRESS_PARSER, SUCCESS, ADDRESS, SUCCESS, ADDRESS},
        {CMD_BLOCK_ADDRESS_PARSER, SUCCESS, ADDRESS, SUCCESS, ADDRESS},
        // Disabled: reads are refused. Garbage says enabled, with no port.
        {CMD_SINGLE_READ, REJECTED, NOTHING, RECOVERY_ERROR, AREAS},
        {CMD_BLOCK_READ, REJECTED, NOTHING, RECOVERY_ERROR, AREAS},
        {CMD_SINGLE_WRITE, RECOVERY_ERROR, AREAS, RECOVERY_ERROR, AREAS},
        {CMD_BLOCK_WRITE, RECOVERY_ERROR, AREAS, RECOVERY_ERROR, AREAS},
        {CMD_CLOSE_COM, SUCCESS, NOTHING, SUCCESS, NOTHING},
        // No name stored (zero) or none that fits (garbage): nothing opens.
        {CMD_REOPEN_COM, RECOVERY_ERROR, NOTHING, RECOVERY_ERROR, NOTHING},
        {CMD_GET_KIV_INFO, SUCCESS, INFO, SUCCESS, INFO},
        {CMD_CHANGE_KIV_PARAMS, RECOVERY_ERROR, CHANNEL_HEAD, RECOVERY_ERROR, CHANNEL_HEAD},
        {CMD_END_KIV, SUCCESS, NOTHING, SUCCESS, NOTHING},
    };
    for (const EarlyCase& e : early) {
        BadCase* zero = add(std::string("BeforeColdStartZeroFilled") + CommandName(e.code), Start::ZeroFilled, e.code,
                            none, e.zeroResult, e.zeroAllowed);
        zero->ends = e.code == CMD_END_KIV;
        BadCase* garbage = add(std::string("BeforeColdStartGarbageFilled") + CommandName(e.code), Start::GarbageFilled,
                               e.code, none, e.garbageResult, e.garbageAllowed);
        garbage->ends = e.code == CMD_END_KIV;
    }
    return cases;
}

class BadInput : public ::testing::TestWithParam<BadCase> {
protected:
    void SetUp() override
    {
        kiv::ResetDriverEndedForTests();
        sim_.StartPty();
    }
    void TearDown() override
    {
        kiv::ResetDriverEndedForTests();
        sim_.Stop();
    }

    plcsim::Simulator sim_;
};

// Byte ranges of the arena the case may change.
bool MayChange(const Arena& a, size_t offset, unsigned allowed)
{
    const auto base = reinterpret_cast<const uint8_t*>(&a);
    const auto within = [&](const void* start, size_t size) {
        const size_t from = static_cast<const uint8_t*>(start) - base;
        return offset >= from && offset < from + size;
    };
    if ((allowed & ADDRESS) && within(&a.params.parse.address, sizeof a.params.parse.address))
        return true;
    if ((allowed & AREAS) &&
        (within(a.channel.txArea, sizeof a.channel.txArea) || within(a.channel.rxArea, sizeof a.channel.rxArea)))
        return true;
    if ((allowed & CHANNEL_HEAD) && within(&a.channel, offsetof(ChannelBlock, unused)))
        return true;
    if ((allowed & INFO) && within(&a.params.info, sizeof a.params.info) &&
        !within(&a.params.info.word5, 2 * sizeof a.params.info.word5))
        return true;
    return false;
}

TEST_P(BadInput, ResultAndNothingOutsideTheRecords)
{
    const BadCase& c = GetParam();
    LogCapture log;
    auto arena = std::make_unique<Arena>();
    Arena& a = *arena;
    std::memset(&a, GUARD_BYTE, sizeof a);
    std::memset(&a.request, 0, sizeof a.request);
    std::memset(&a.params, 0, sizeof a.params);
    const std::set<int> descriptorsBefore = reliability::OpenDescriptorSet();

    switch (c.start) {
    case Start::ZeroFilled: std::memset(&a.channel, 0, sizeof a.channel); break;
    case Start::GarbageFilled:
        std::memset(&a.channel, GARBAGE, sizeof a.channel);
        a.channel.portHandle = 0;
        break;
    case Start::Open: {
        std::memset(&a.channel, 0, sizeof a.channel);
        StdoutCapture quiet;
        ColdStartBlock start{};
        std::strcpy(start.portName, sim_.SlavePath().c_str());
        start.enable = 1;
        start.timeout = 5;
        start.settings = Settings8N1();
        DriverRequest open{&a.channel, CMD_COLD_START, {}, &start};
        ASSERT_EQ(KivMain(&open), SUCCESS);
        break;
    }
    }
    MakeValid(a, c.code);
    c.spoil(a);
    // Cases that need a real device name get the line's own.
    if (c.code == CMD_COLD_START && std::strcmp(a.params.cold.portName, "SIMLINE") == 0)
        std::strcpy(a.params.cold.portName, sim_.SlavePath().c_str());
    if (c.code == CMD_CHANGE_KIV_PARAMS && std::strcmp(a.params.change.portName, "SIMLINE") == 0)
        std::strcpy(a.params.change.portName, sim_.SlavePath().c_str());

    std::vector<uint8_t> before(sizeof a);
    std::memcpy(before.data(), &a, sizeof a);
    int32_t result;
    std::string out;
    log.Clear();  // the open's own line
    {
        StdoutCapture capture;
        result = KivMain(c.nullRequest ? nullptr : &a.request);
        out = capture.Take();
    }

    EXPECT_EQ(result, c.result);
    const auto* after = reinterpret_cast<const uint8_t*>(&a);
    int changed = 0;
    for (size_t i = 0; i < sizeof a; ++i) {
        if (after[i] != before[i] && !MayChange(a, i, c.allowed) && ++changed <= 3)
            ADD_FAILURE() << "byte " << i << " of the records changed";
    }
    EXPECT_EQ(changed, 0);
    if (c.checkAddress) {
        const DriverAddress& got = a.params.parse.address;
        EXPECT_EQ(got.station, c.address.station);
        EXPECT_EQ(got.operand, c.address.operand);
        EXPECT_EQ(got.number, c.address.number);
        EXPECT_EQ(got.bit, c.address.bit);
        EXPECT_EQ(got.width, c.address.width);
    }
    if (result == REJECTED) {
        EXPECT_EQ(out, "") << "a refusal prints nothing";
        // The parsers' own log line on some rejections is their rule, and
        // address_parser_test.cpp's; every other refusal logs nothing.
        if (c.code != CMD_SINGLE_ADDRESS_PARSER && c.code != CMD_BLOCK_ADDRESS_PARSER) {
            EXPECT_TRUE(log.Lines().empty()) << "a refusal logs nothing";
        }
    }
    EXPECT_EQ(kiv::DriverEnded(), c.ends);
    kiv::ResetDriverEndedForTests();

    // Nothing reached the line, and nothing was left open.
    EXPECT_FALSE(sim_.WaitForRequests(1, std::chrono::milliseconds(10)));
    EXPECT_EQ(sim_.RequestCount(), 0u);
    if (a.channel.portHandle != 0) {
        DriverRequest close{&a.channel, CMD_CLOSE_COM, {}, nullptr};
        EXPECT_EQ(KivMain(&close), SUCCESS);
    }
    EXPECT_TRUE(reliability::OpenedSince(descriptorsBefore).empty());
}

INSTANTIATE_TEST_SUITE_P(Host, BadInput, ::testing::ValuesIn(Cases()), CaseName());

}  // namespace
