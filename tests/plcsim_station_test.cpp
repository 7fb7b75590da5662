// The simulator's protocol and fault shaping, on strings.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "sim/faults.h"
#include "sim/pcon_station.h"
#include "sim/plc_simulator.h"
#include "sim/station_set.h"
#include "tests/framed.h"

namespace {

using plcsim::Fault;
using plcsim::FaultKind;
using plcsim::Memory;

int A(int byte, int bit)
{
    return byte * 8 + bit;
}

struct Exchange {
    const char* name;
    std::string frame;
    std::function<void(Memory&)> before;
    std::string reply;
    std::function<void(const Memory&)> after;
};

TEST(PlcsimStation, RequestsGetTheirRepliesAndMemoryChanges)
{
    const auto nothing = [](auto&) {};
    const std::vector<Exchange> table = {
        {"read two words", "/01RW0010022D\r", [](Memory& m) { m.SetWord(0x10, 0x1234); }, "/A01RW12340000D5\r",
         nothing},
        {"read one A bit", "/02RA1F,70130\r", [](Memory& m) { m.SetBit('A', A(0x1F, 7), true); }, "/A02RA167\r",
         nothing},
        {"read twenty B bits", "/01RB0100141B\r", [](Memory& m) { m.SetBit('B', 0x100, true); },
         "/A01RB10000000000000000000F7\r", nothing},
        {"write one word", "/01SW0010011234F7\r", nothing, "/A01SW4C\r",
         [](const Memory& m) { EXPECT_EQ(m.Word(0x10), 0x1234); }},
        {"write three B bits", "/02SB010003101AD\r", [](Memory& m) { m.SetBit('B', 0x101, true); }, "/A02SB38\r",
         [](const Memory& m) {
             EXPECT_TRUE(m.Bit('B', 0x100));
             EXPECT_FALSE(m.Bit('B', 0x101));
             EXPECT_TRUE(m.Bit('B', 0x102));
             EXPECT_FALSE(m.Bit('B', 0x103));
         }},
        {"set bit 5", "/01X100105s53\r", [](Memory& m) { m.SetWord(0x10, 0x0001); }, "/A01X12B\r",
         [](const Memory& m) { EXPECT_EQ(m.Word(0x10), 0x0021); }},
        {"reset bit 5", "/01X100105r52\r", [](Memory& m) { m.SetWord(0x10, 0xFFFF); }, "/A01X12B\r",
         [](const Memory& m) { EXPECT_EQ(m.Word(0x10), 0xFFDF); }},
        {"count 0 reads no data", Framed("01RW001000"), nothing, "/A01RW4B\r", nothing},
        {"lower-case hex, checksum too", "/0aRW00ff01c7\r", [](Memory& m) { m.SetWord(0xFF, 0xBEEF); },
         Framed("A0aRWBEEF"), nothing},
        {"the last word", Framed("01RWFFFF01"), [](Memory& m) { m.SetWord(0xFFFF, 0x00A5); }, Framed("A01RW00A5"),
         nothing},
        {"A run crosses into the next byte", Framed("01RA00,604"),
         [](Memory& m) {
             m.SetBit('A', A(0, 7), true);
             m.SetBit('A', A(1, 0), true);
         },
         Framed("A01RA0110"), nothing},
        {"E reads like A, from its own memory", Framed("01RE00,702"),
         [](Memory& m) {
             m.SetBit('E', A(1, 0), true);
             m.SetBit('A', A(0, 7), true);
         },
         Framed("A01RE01"), nothing},
        {"A write crosses bytes", Framed("01SA00,70211"), nothing, Framed("A01SA"),
         [](const Memory& m) {
             EXPECT_TRUE(m.Bit('A', A(0, 7)));
             EXPECT_TRUE(m.Bit('A', A(1, 0)));
             EXPECT_FALSE(m.Bit('E', A(0, 7)));
         }},
        {"word run, lower-case data", Framed("01SW00200200ff1000"), nothing, Framed("A01SW"),
         [](const Memory& m) {
             EXPECT_EQ(m.Word(0x20), 0x00FF);
             EXPECT_EQ(m.Word(0x21), 0x1000);
         }},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        Memory memory;
        row.before(memory);
        const auto reply = plcsim::HandleRequest(row.frame, memory);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(*reply, row.reply);
        row.after(memory);
    }
}

TEST(PlcsimStation, ReadReplyLengthIsNinePlusData)
{
    Memory memory;
    for (const auto& [body, data] :
         std::vector<std::pair<std::string, size_t>>{{"01RWFF00FF", 255 * 4}, {"01RB000010", 16}, {"01RA00,001", 1}}) {
        const auto reply = plcsim::HandleRequest(Framed(body), memory);
        ASSERT_TRUE(reply.has_value()) << body;
        EXPECT_EQ(reply->size(), 9 + data) << body;
    }
}

TEST(PlcsimStation, BadRequestsGetNoReplyAndChangeNothing)
{
    const std::vector<std::pair<const char*, std::string>> table = {
        {"checksum off by one", "/01RW0010022E\r"},
        {"checksum not hex", "/01RW001002ZZ\r"},
        {"no slash", Framed("01RW001002").substr(1)},
        {"too short", "/01R\r"},
        {"station not hex", Framed("0GRW001002")},
        {"unknown command", Framed("01QW001002")},
        {"unknown operand", Framed("01RX001002")},
        {"lower-case command", Framed("01rw001002")},
        {"address not hex", Framed("01RW00G002")},
        {"A without comma", Framed("01RA1F7002")},
        {"A bit 8", Framed("01RA1F,801")},
        {"A byte 0x20", Framed("01RA20,001")},
        {"A run past the end", Framed("01RA1F,702")},
        {"W run past the end", Framed("01RWFFFF02")},
        {"B run past the end", Framed("01RBFFFF02")},
        {"read with trailing data", Framed("01RW0010011234")},
        {"write data short", Framed("01SW001001123")},
        {"write data long", Framed("01SW00100112345")},
        {"write word digit not hex", Framed("01SW00100112G4")},
        {"write bit not 0 or 1", Framed("01SB00000212")},
        {"write to E", Framed("01SE00,0011")},
        {"set/reset without action", Framed("01X100100")},
        {"set/reset with capital S", Framed("01X100105S")},
        {"set/reset with trailing byte", Framed("01X100105s1")},
        {"X not followed by 1", Framed("01X200105s")},
    };
    for (const auto& [name, frame] : table) {
        SCOPED_TRACE(name);
        Memory memory;
        EXPECT_FALSE(plcsim::HandleRequest(frame, memory).has_value());
        EXPECT_EQ(memory.Word(0x10), 0);
        EXPECT_FALSE(memory.Bit('B', 0));
        EXPECT_FALSE(memory.Bit('E', 0));
    }
}

// Every fault's NAME[=VALUE][@PROBABILITY] means what --help says: the
// probability is the chance the fault applies, and drop's own P multiplies it.
TEST(PlcsimFaults, ParsesTheCommandLineForms)
{
    struct Row {
        const char* text;
        FaultKind kind;
        double probability;
        int value;
        int pauseMs;
        const char* refusal;  // nullptr: accepted as given
    };
    const auto ok = [](const char* text, FaultKind kind, double probability, int value = 0, int pauseMs = 20) {
        return Row{text, kind, probability, value, pauseMs, nullptr};
    };
    const auto refused = [](const char* text, const char* why) { return Row{text, {}, 0, 0, 0, why}; };
    const std::vector<Row> table = {
        ok("silent", FaultKind::Silent, 1.0),
        ok("silent@0.25", FaultKind::Silent, 0.25),
        refused("silent=3", "silent takes no value"),
        ok("drop", FaultKind::Drop, 1.0),
        ok("drop=0.3", FaultKind::Drop, 0.3),
        ok("drop=1@0.5", FaultKind::Drop, 0.5),
        ok("drop=0.5@0", FaultKind::Drop, 0.0),
        ok("drop=0.5@0.5", FaultKind::Drop, 0.25),
        refused("drop=2", "drop=P takes a probability 0 to 1"),
        ok("wrong", FaultKind::WrongStation, 1.0),
        ok("wrong=5@0.5", FaultKind::WrongStation, 0.5, 5),
        ok("wrong=0x1F", FaultKind::WrongStation, 1.0, 31),
        refused("wrong=1F", "ambiguous station 1F: write 31 or 0x1F"),
        refused("wrong=0", "station 0 is outside 1 to 255"),
        ok("nak", FaultKind::Nak, 1.0),
        ok("nak=X", FaultKind::Nak, 1.0, 'X'),
        refused("nak=10", "nak=C takes one printable character"),
        refused("nak=A", "other than A"),
        ok("truncate=7@0.25", FaultKind::Truncate, 0.25, 7),
        refused("truncate=0", "0 is outside 1 to 65535"),
        ok("extra", FaultKind::Extra, 1.0),
        ok("extra=0x10", FaultKind::Extra, 1.0, 16),
        ok("noise=4", FaultKind::Noise, 1.0, 4),
        refused("noise=1A", "1A is not a decimal number; hex needs 0x: 0x1A"),
        ok("delay=200", FaultKind::Delay, 1.0, 200),
        ok("delay=0", FaultKind::Delay, 1.0, 0),
        refused("delay", "delay needs its milliseconds"),
        refused("delay=-5", "\"-5\" is not a number"),
        ok("split", FaultKind::Split, 1.0),
        ok("split=4", FaultKind::Split, 1.0, 4),
        ok("split=3/0", FaultKind::Split, 1.0, 3, 0),
        ok("split=3/50@0.5", FaultKind::Split, 0.5, 3, 50),
        refused("split=3/", "the pause \"\" is not a number"),
        ok("corrupt", FaultKind::Corrupt, 1.0),
        refused("corrupt=1", "corrupt takes no value"),
        ok("pace", FaultKind::Pace, 1.0),
        refused("", "no fault named \"\""),
        refused("bogus", "no fault named \"bogus\""),
        refused("silent@", "the probability after @ is 0 to 1"),
        refused("nak@1.5", "the probability after @ is 0 to 1"),
        refused("nak@nan", "the probability after @ is 0 to 1"),
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.text);
        std::string why;
        const auto fault = plcsim::ParseFault(row.text, &why);
        if (row.refusal != nullptr) {
            EXPECT_FALSE(fault.has_value());
            EXPECT_NE(why.find(row.refusal), std::string::npos) << why;
            continue;
        }
        ASSERT_TRUE(fault.has_value()) << why;
        EXPECT_EQ(fault->kind, row.kind);
        EXPECT_DOUBLE_EQ(fault->probability, row.probability);
        EXPECT_EQ(fault->value, row.value);
        EXPECT_EQ(fault->pauseMs, row.pauseMs);
        EXPECT_EQ(plcsim::FaultFromName(plcsim::FaultName(row.kind)), row.kind);
    }
}

TEST(PlcsimFaults, CharacterFormats)
{
    EXPECT_EQ(plcsim::ParseCharFormat("8N1")->BitsPerChar(), 10);
    EXPECT_EQ(plcsim::ParseCharFormat("7E1")->BitsPerChar(), 10);
    EXPECT_EQ(plcsim::ParseCharFormat("8o2")->BitsPerChar(), 12);
    EXPECT_EQ(plcsim::ParseCharFormat("8N1.5")->BitsPerChar(), 10.5);
    EXPECT_EQ(plcsim::ParseCharFormat("7s1")->parity, 'S');
    EXPECT_EQ(plcsim::ParseCharFormat("8M2")->parity, 'M');
    for (const char* bad : {"9N1", "8X1", "8N3", "8N", "8N11", "8N1.6"}) {
        EXPECT_FALSE(plcsim::ParseCharFormat(bad).has_value()) << bad;
    }
    EXPECT_EQ(plcsim::ParseParity("Even"), 'E');
    EXPECT_EQ(plcsim::ParseParity("s"), 'S');
    EXPECT_FALSE(plcsim::ParseParity("x").has_value());
}

std::string Joined(const plcsim::Delivery& delivery)
{
    std::string all;
    for (const auto& piece : delivery.pieces)
        all += piece;
    return all;
}

TEST(PlcsimFaults, ShapesTheReply)
{
    const std::string words = "/A01RW12340000D5\r";
    const std::string bits = Framed("A01RB0110");
    struct Row {
        const char* name;
        std::string reply;
        Fault fault;
        std::function<void(const plcsim::Delivery&)> check;
    };
    const std::vector<Row> table = {
        {"silent", words, {FaultKind::Silent}, [](auto& d) { EXPECT_TRUE(d.pieces.empty()); }},
        {"drop", words, {FaultKind::Drop}, [](auto& d) { EXPECT_TRUE(d.pieces.empty()); }},
        {"wrong station, checksum fitted",
         words,
         {FaultKind::WrongStation},
         [](auto& d) { EXPECT_EQ(Joined(d), Framed("A02RW12340000")); }},
        {"wrong station chosen",
         words,
         {FaultKind::WrongStation, 1.0, 0x1F},
         [](auto& d) { EXPECT_EQ(Joined(d), Framed("A1FRW12340000")); }},
        {"nak", words, {FaultKind::Nak}, [](auto& d) { EXPECT_EQ(Joined(d), Framed("N01RW12340000")); }},
        {"truncate", words, {FaultKind::Truncate, 1.0, 7}, [](auto& d) { EXPECT_EQ(Joined(d), "/A01RW1"); }},
        {"truncate longer than the reply",
         words,
         {FaultKind::Truncate, 1.0, 99},
         [&](auto& d) { EXPECT_EQ(Joined(d), words); }},
        {"extra",
         words,
         {FaultKind::Extra, 1.0, 4},
         [&](auto& d) {
             const std::string all = Joined(d);
             ASSERT_EQ(all.size(), words.size() + 4);
             EXPECT_EQ(all.substr(0, words.size()), words);
             EXPECT_EQ(all.find_first_of("/\r", words.size()), std::string::npos);
         }},
        {"noise",
         words,
         {FaultKind::Noise, 1.0, 5},
         [&](auto& d) {
             const std::string all = Joined(d);
             ASSERT_EQ(all.size(), words.size() + 5);
             EXPECT_EQ(all.substr(5), words);
             EXPECT_EQ(all.substr(0, 5).find_first_of("/\r"), std::string::npos);
         }},
        {"corrupt word digit",
         words,
         {FaultKind::Corrupt},
         [&](auto& d) {
             const std::string all = Joined(d);
             ASSERT_EQ(all.size(), words.size());
             EXPECT_EQ(all.substr(0, 6), words.substr(0, 6));
             EXPECT_EQ(all.substr(14), words.substr(14));  // checksum not fixed
             EXPECT_NE(all.substr(6, 8).find('G'), std::string::npos);
         }},
        {"corrupt bit",
         bits,
         {FaultKind::Corrupt},
         [&](auto& d) {
             const std::string all = Joined(d);
             int differ = 0;
             for (size_t i = 0; i < all.size(); ++i)
                 differ += all[i] != bits[i];
             EXPECT_EQ(differ, 1);
             EXPECT_EQ(all.find_first_not_of("01", 6), bits.size() - 3);
         }},
        {"corrupt leaves a write reply alone",
         "/A01SW4C\r",
         {FaultKind::Corrupt},
         [](auto& d) { EXPECT_EQ(Joined(d), "/A01SW4C\r"); }},
        {"split",
         words,
         {FaultKind::Split, 1.0, 3, 30},
         [&](auto& d) {
             ASSERT_EQ(d.pieces.size(), 3u);
             EXPECT_EQ(Joined(d), words);
             EXPECT_EQ(d.pause.count(), 30);
         }},
        {"delay and pace keep the bytes",
         words,
         {FaultKind::Delay, 1.0, 150},
         [&](auto& d) {
             EXPECT_EQ(Joined(d), words);
             EXPECT_EQ(d.delay.count(), 150);
             EXPECT_FALSE(d.paced);
         }},
        {"pace", words, {FaultKind::Pace}, [](auto& d) { EXPECT_TRUE(d.paced); }},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        std::mt19937 rng(1);
        row.check(plcsim::ShapeReply(row.reply, {row.fault}, rng));
    }
}

TEST(PlcsimFaults, FaultsCombine)
{
    std::mt19937 rng(1);
    const auto delivery = plcsim::ShapeReply(
        "/A01RW12340000D5\r",
        {{FaultKind::WrongStation}, {FaultKind::Nak}, {FaultKind::Truncate, 1.0, 6}, {FaultKind::Noise, 1.0, 2}}, rng);
    const std::string all = Joined(delivery);
    ASSERT_EQ(all.size(), 8u);
    EXPECT_EQ(all.substr(2), "/N02RW");
}

TEST(PlcsimFaults, DrawsAreDeterministicUnderASeed)
{
    const std::vector<Fault> candidates = {{FaultKind::Drop, 0.3}, {FaultKind::Delay, 1.0, 10}};
    const auto pattern = [&](uint32_t seed) {
        std::mt19937 rng(seed);
        std::string drops;
        for (int i = 0; i < 1000; ++i) {
            const auto applied = plcsim::DrawFaults(candidates, rng);
            EXPECT_TRUE(plcsim::Has(applied, FaultKind::Delay));
            drops += plcsim::Has(applied, FaultKind::Drop) ? '1' : '0';
        }
        return drops;
    };
    const std::string first = pattern(42);
    EXPECT_EQ(first, pattern(42));
    EXPECT_NE(first, pattern(43));
    const auto dropped = std::count(first.begin(), first.end(), '1');
    EXPECT_GT(dropped, 220);
    EXPECT_LT(dropped, 380);
}

// The record says why a request got no reply; a bad checksum only where
// the fields read, so that the checksum's place is known.
TEST(PlcsimRecords, RefusedRequestsSayWhy)
{
    const struct {
        std::string frame;
        const char* note;
    } rows[] = {
        {"/01RW0010022E\r", "bad checksum"},
        {"/01RW00100A\r", "bad checksum"},  // no checksum at all
        {"/01RW001\r", "malformed"},        // the fields cut: no checksum place
        {"/01QW0010022C\r", "malformed"},
        {"/01RA20,00113\r", "malformed"},  // no such byte, checksum right
        {"/05RW00100231\r", "no such station"},
    };
    for (const auto& row : rows) {
        plcsim::StationSet stations({1}, 1);
        plcsim::Record request;
        request.bytes = row.frame;
        EXPECT_FALSE(stations.Answer(request)) << row.frame;
        EXPECT_EQ(request.note, row.note) << row.frame;
    }
}

TEST(PlcsimRecords, PrintableShowsControlBytes)
{
    EXPECT_EQ(plcsim::Printable("/01RW0010022D\r"), "/01RW0010022D\\r");
    EXPECT_EQ(plcsim::Printable(std::string("a\n\\\0\xFF", 5)), "a\\n\\\\\\x00\\xFF");
}

}  // namespace
