// The driver's traces read back (kiv_analysis), printed by the driver's own
// exchanges over the fake port: attempts and outcomes, each exchange
// judged, a captured trace decoded as before, lines too long passed over.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/exchange_report.h"
#include "analysis/trace_decoder.h"
#include "analysis/trace_reader.h"
#include "common/json_object.h"
#include "hosting/dorvak.h"
#include "hosting/session.h"
#include "protocol/exchange.h"
#include "serial/serial_port.h"
#include "tests/case_name.h"
#include "tests/fake_serial_platform.h"
#include "tests/file_text.h"
#include "tests/framed.h"
#include "tests/pcon_cases.h"
#include "tests/stdout_capture.h"
#include "wire/pcon_frame.h"

namespace {

using namespace kivhost;

// ---------------------------------------------------------------------------
// The driver's traces read back. The driver's own exchanges print them, over
// the fake port whose station answers each frame from a script.

struct Step {
    std::string frame;                 // what the host asks: a request frame, decoded for the IoBlock
    std::vector<std::string> replies;  // one per attempt; "" is silence
    bool writeFails = false;           // the port refuses every write
};

struct ClassifierCase {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::vector<Outcome>> exchanges;  // the attempts' outcomes, exchange by exchange
};
void PrintTo(const ClassifierCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

const std::string SET_BIT = "/01X100105s53\r";

// A 255-word reply whose data holds a zero byte (the line showing it is cut
// short) and, in another line, ")" and a line feed.
std::string LongReply()
{
    std::string data;
    for (int i = 0; i < 255; ++i) {
        char word[5];
        std::snprintf(word, sizeof word, "%04X", i * 257 & 0xFFFF);
        data += word;
    }
    data[100] = '\0';
    data[400] = ')';
    data[401] = '\n';
    return Framed("A01RW" + data);
}

std::string Request(const std::string& body)
{
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", FrameSum(body));
    return "/" + body + digits + "\r";
}

const std::string LONG_READ = Request("01RW0000FF");

const ClassifierCase CLASSIFIER_CASES[] = {
    {"good at once", {{READ_2W, {Framed("A01RW1234ABCD")}}}, {{Outcome::Good}}},
    {"silence then good", {{READ_2W, {"", Framed("A01RW1234ABCD")}}}, {{Outcome::NoReply, Outcome::Good}}},
    {"four refusals",
     {{READ_2W, {Framed("N01RW1234ABCD"), Framed("N01RW1234ABCD"), Framed("N01RW1234ABCD"), Framed("N01RW1234ABCD")}}},
     {{Outcome::Nak, Outcome::Nak, Outcome::Nak, Outcome::Nak}}},
    {"every kind of failure, then good",
     {{READ_2W, {Framed("A02RW1234ABCD"), "/A01RW12", "\xFF\xFE\xFD\xFC\xFB\xFA\xF9", Framed("A01RW1234ABCD")}}},
     {{Outcome::WrongStation, Outcome::Short, Outcome::Garbled, Outcome::Good}}},
    {"a header cut short",
     {{READ_20B, {"/A0", Framed("A01RB10100000000000000001")}}},
     {{Outcome::Short, Outcome::Good}}},
    {"255 words with a zero byte, then a write",
     {{LONG_READ, {LongReply()}}, {WRITE_W, {Framed("A01SW")}}},
     {{Outcome::Good}, {Outcome::Good}}},
    {"a silent station fails a write",
     {{WRITE_W, {"", "", "", ""}}, {SET_BIT, {Framed("N01X1"), Framed("A01X1")}}},
     {{Outcome::NoReply, Outcome::NoReply, Outcome::NoReply, Outcome::NoReply}, {Outcome::Nak, Outcome::Good}}},
    {"the same read twice is two exchanges",
     {{READ_2W, {Framed("A01RW1234ABCD")}}, {READ_2W, {Framed("A01RW1234ABCD")}}},
     {{Outcome::Good}, {Outcome::Good}}},
    {"a port that takes no frame",
     {{WRITE_W, {}, true}},
     {{Outcome::NotSent, Outcome::NotSent, Outcome::NotSent, Outcome::NotSent}}},
};

// The IoBlock a host would hand in for the frame.
struct HostRequest {
    IoBlock io{};
    std::vector<uint16_t> values;

    explicit HostRequest(const PconRequest& r)
    {
        io.address.station = r.station;
        io.address.operand = r.operand;
        io.address.number = r.number;
        io.address.bit = r.bit < 0 ? NO_BIT : r.bit;
        io.address.width = r.operand == 'W' ? 16 : 1;
        io.count = r.count;
        values = r.values.empty() ? std::vector<uint16_t>() : PackValues(io.address, r.values);
        values.resize(260);
        io.values = values.data();
    }
};

// Runs the steps on the driver and returns what it printed, with a host's
// own output between the calls, as a captured standard output has it.
std::string DriverTrace(const std::vector<Step>& steps)
{
    kiv::fake::FakeSerialPlatform fake;
    kiv::fake::FakeDevice& com = fake.AddDevice("COM1");
    std::deque<std::string> replies;
    com.onWrite = [&replies](kiv::fake::FakeDevice& d, const uint8_t*, uint32_t) {
        if (!replies.empty()) {
            d.Arrive(replies.front(), d.NowMs() + 2);
            replies.pop_front();
        }
    };
    ChannelBlock channel{};
    EXPECT_EQ(kiv::PortOpen("COM1", PortSettings{9600, 8, 0, 0}, LINE_FLAGS_DTR_RTS_ON, &channel.portHandle),
              kiv::PORT_OK);
    channel.portEnabled = 1;

    DorvakSetLogging(0);
    StdoutCapture out;
    std::printf("host: starting\n(a host's own line)\n");
    for (const Step& step : steps) {
        replies.assign(step.replies.begin(), step.replies.end());
        if (step.writeFails)
            com.Fail(kiv::fake::FakeOp::Write);
        const PconRequest r = DecodeRequest(step.frame);
        HostRequest host(r);
        // A host that prints the driver's log lines too shows this one just
        // before the driver's own.
        std::printf("REVIZ: %u bytes will be send\n", static_cast<unsigned>(step.frame.size()));
        if (r.IsRead())
            kiv::ReadExchange(channel, host.io);
        else
            kiv::WriteExchange(channel, host.io);
        std::printf("host: value 5 (ok)\n");
    }
    const std::string text = out.Take();
    DorvakSetLogging(1);
    kiv::PortClose(channel.portHandle);
    return text;
}

std::vector<std::vector<Outcome>> Outcomes(const std::vector<TraceExchange>& exchanges)
{
    std::vector<std::vector<Outcome>> outcomes;
    for (const TraceExchange& e : exchanges) {
        outcomes.emplace_back();
        for (const TraceAttempt& a : e.attempts)
            outcomes.back().push_back(a.outcome);
    }
    return outcomes;
}

class TraceClassifier : public ::testing::TestWithParam<ClassifierCase> {};

TEST_P(TraceClassifier, AttemptsAndOutcomesFromTheDriversOwnTrace)
{
    const ClassifierCase& c = GetParam();
    const std::string text = DriverTrace(c.steps);
    const std::vector<TraceExchange> whole = ReadTrace(text);
    ASSERT_EQ(Outcomes(whole), c.exchanges) << text;

    bool timedOut = false;  // every case asks station 1
    for (size_t e = 0; e < whole.size(); ++e) {
        const TraceExchange& exchange = whole[e];
        EXPECT_EQ(exchange.outcome, exchange.attempts.back().outcome);
        for (size_t i = 0; i < exchange.attempts.size(); ++i) {
            const TraceAttempt& a = exchange.attempts[i];
            EXPECT_EQ(a.attempt, static_cast<int>(i + 1));
            EXPECT_EQ(a.followsTimeout, timedOut) << "exchange " << e << " attempt " << i + 1;
            timedOut = a.outcome == Outcome::NoReply || a.outcome == Outcome::Short;
            EXPECT_EQ(a.requestBytes, c.steps[e].frame);
            if (a.outcome != Outcome::Good)
                continue;
            // What the trace shows of a good reply is what the station sent.
            const std::string& sent = c.steps[e].replies[i];
            ASSERT_EQ(a.replyBytes.size(), a.request.ReplyLength());
            for (size_t b = 0; b < a.replyBytes.size(); ++b) {
                if (a.replyShown[b]) {
                    ASSERT_EQ(a.replyBytes[b], sent[b]) << "byte " << b;
                }
            }
        }
    }

    // Fed in pieces of any size, the reader finds the same, and hands out
    // each attempt as it is judged.
    std::vector<Outcome> attempts;
    for (const auto& exchange : c.exchanges)
        attempts.insert(attempts.end(), exchange.begin(), exchange.end());
    for (size_t piece : {size_t{1}, size_t{5}, size_t{34}}) {
        TraceReader reader;
        std::vector<Outcome> streamed;
        TraceAttempt attempt;
        for (size_t at = 0; at < text.size(); at += piece) {
            reader.Feed(std::string_view(text).substr(at, piece));
            while (reader.NextAttempt(&attempt))
                streamed.push_back(attempt.outcome);
        }
        reader.Finish();
        while (reader.NextAttempt(&attempt))
            streamed.push_back(attempt.outcome);
        EXPECT_EQ(streamed, attempts) << "pieces of " << piece;
        std::vector<TraceExchange> pieces;
        TraceExchange exchange;
        while (reader.NextExchange(&exchange))
            pieces.push_back(exchange);
        EXPECT_EQ(Outcomes(pieces), c.exchanges) << "pieces of " << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(Driver, TraceClassifier, ::testing::ValuesIn(CLASSIFIER_CASES), CaseName());

// ---------------------------------------------------------------------------
// What kivhost makes of the exchanges the driver took as good: one reporter
// over a run of exchanges, as over one run of kivhost.

// The reply frame with a checksum that is not the sum of its body.
std::string Unsummed(const std::string& body)
{
    std::string frame = Framed(body);
    frame[frame.size() - 2] = frame[frame.size() - 2] == '0' ? '1' : '0';
    return frame;
}

struct Judged {
    std::string reason;  // ReasonName
    bool checksumSuspect;
    bool named;        // the station is named as not using the checksum
    std::string says;  // in the failure's message; "" for a good exchange
};

struct JudgementCase {
    const char* name;
    std::vector<Step> steps;      // one exchange each
    std::vector<Judged> reports;  // one per step
};
void PrintTo(const JudgementCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

const Judged CLEAN{"good", false, false, ""};
const Judged SUSPECT{"good", true, false, ""};
const Judged BROKEN{"bad-data", true, false, "does not end in its checksum, which the station's replies kept before"};

const JudgementCase JUDGEMENT_CASES[] = {
    {"clean words", {{READ_2W, {Framed("A01RW1234ABCD")}}}, {CLEAN}},
    {"a word digit that is not hex",
     {{READ_2W, {Framed("A01RWGE82ABCD")}}},
     {{"bad-data", false, false, "came with damaged data (\"GE82ABCD\""}}},
    {"a bit that is neither 0 nor 1",
     {{READ_20B, {Framed("A01RB10100000000000200001")}}},
     {{"bad-data", false, false, "damaged data"}}},
    {"a write acknowledged by its station", {{WRITE_W, {Framed("A01SW")}}}, {CLEAN}},
    {"a write acknowledged by another station",
     {{WRITE_W, {Framed("A03SW")}}},
     {{"wrong-station", false, false,
       "write of 01W0010 was acknowledged by station 3 (03), not station 1 (01): the write may not have reached"}}},
    {"a station that never keeps the checksum is named once",
     {{READ_2W, {Unsummed("A01RW1234ABCD")}},
      {READ_2W, {Unsummed("A01RW1234ABCD")}},
      {READ_2W, {Unsummed("A01RW1234ABCD")}},
      {READ_2W, {Unsummed("A01RW1234ABCD")}},
      {READ_2W, {Unsummed("A01RW1234ABCD")}}},
     {SUSPECT, SUSPECT, SUSPECT, {"good", false, true, ""}, CLEAN}},
    {"once a station kept the checksum every break is bad data",
     {{READ_2W, {Framed("A01RW1234ABCD")}},
      {READ_2W, {Unsummed("A01RW1234ABCD")}},
      {READ_2W, {Unsummed("A01RW1234ABCD")}},
      {READ_2W, {Unsummed("A01RW1234ABCD")}},
      {READ_2W, {Unsummed("A01RW1234ABCD")}}},
     {CLEAN, BROKEN, BROKEN, BROKEN, BROKEN}},
    {"bits flipped after a kept checksum are bad data, not flagged",
     {{READ_20B, {Framed("A01RB10100000000000000001")}},
      {READ_20B, {Unsummed("A01RB10100000000000000011")}},
      {READ_20B, {Framed("A01RB10100000000000000001")}}},
     {CLEAN, BROKEN, CLEAN}},
    {"a reply of another block, of the same length",
     {{READ_2W, {Framed("A01RB10110000")}}},
     {{"late-reply", false, false, "repeats another request (\"RB\" where \"RW\" was asked)"}}},
    {"a write answered with a read's echo",
     {{WRITE_W, {Framed("A01RW")}}},
     {{"late-reply", false, false, "not confirmed"}}},
    {"a late reply teaches nothing of the checksum",
     {{READ_2W, {Framed("A01RB10110000")}}, {READ_2W, {Unsummed("A01RW1234ABCD")}}},
     {{"late-reply", false, false, "arrived late"}, SUSPECT}},
    {"damaged replies do not teach how a station sums",
     {{READ_2W, {Unsummed("A01RWGE82ABCD")}},
      {READ_2W, {Unsummed("A01RWGE82ABCD")}},
      {READ_2W, {Unsummed("A01RWGE82ABCD")}},
      {READ_2W, {Unsummed("A01RW1234ABCD")}}},
     {{"bad-data", true, false, "damaged data"},
      {"bad-data", true, false, "damaged data"},
      {"bad-data", true, false, "damaged data"},
      SUSPECT}},
};

class ExchangeJudgement : public ::testing::TestWithParam<JudgementCase> {};

TEST_P(ExchangeJudgement, DoubtsReasonsAndChecksumFlags)
{
    const JudgementCase& c = GetParam();
    const std::string text = DriverTrace(c.steps);
    const std::vector<TraceExchange> exchanges = ReadTrace(text);
    ASSERT_EQ(exchanges.size(), c.reports.size()) << text;
    ExchangeReporter reporter;
    for (size_t i = 0; i < exchanges.size(); ++i) {
        ASSERT_TRUE(exchanges[i].Good()) << "the driver takes every one of them; exchange " << i;
        const ExchangeReport report = reporter.Report({exchanges[i]});
        const Judged& want = c.reports[i];
        EXPECT_EQ(ReasonName(report), want.reason) << "exchange " << i;
        EXPECT_EQ(report.Good(), want.reason == "good") << "exchange " << i;
        EXPECT_EQ(report.checksumSuspect, want.checksumSuspect) << "exchange " << i;
        EXPECT_EQ(report.checksumUnused, want.named ? 1 : -1) << "exchange " << i;
        const std::string message = FailureMessage(report,
                                                   std::string(exchanges[i].Request().IsRead() ? "read" : "write") +
                                                       " of " + exchanges[i].Request().Address(),
                                                   1, 1000);
        if (want.says.empty())
            EXPECT_EQ(message, "") << "exchange " << i;
        else
            EXPECT_NE(message.find(want.says), std::string::npos) << message;
    }
    // decode judges each attempt as the others judge the exchange.
    std::string decoded;
    TraceDecoder decoder(true, &decoded);
    decoder.Feed(text);
    decoder.Finish();
    std::istringstream lines(decoded);
    std::string line;
    for (size_t i = 0; i < c.reports.size() && std::getline(lines, line); ++i) {
        const Json attempt = Json::parse(line);
        EXPECT_EQ(attempt.value("reason", "good"), c.reports[i].reason) << line;
        EXPECT_EQ(attempt.contains("values"), c.reports[i].reason == "good" && attempt["command"] == "read") << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Driver, ExchangeJudgement, ::testing::ValuesIn(JUDGEMENT_CASES), CaseName());

// ---------------------------------------------------------------------------
// On a paced line the driver reads a refused header and moves on while the
// rest of that reply, and the replies queued behind it, keep coming: the
// next exchange reads them. Written as a host's captured trace, each
// attempt its request and what each reception got.

struct HandAttempt {
    std::string request;
    std::vector<std::string> receptions;
};

std::string HandTrace(const std::vector<HandAttempt>& attempts)
{
    std::string text;
    const auto dump = [&text](std::string bytes) {
        std::replace(bytes.begin(), bytes.end(), '\r', '.');
        for (size_t at = 0; at < bytes.size(); at += 33)
            text += "(" + bytes.substr(at, 33) + ")\n";
    };
    for (const HandAttempt& a : attempts) {
        text += "REVIZ: " + std::to_string(a.request.size()) + " bytes will be send\n";
        dump(a.request);
        for (const std::string& bytes : a.receptions) {
            text += "REVIZ: " + std::to_string(bytes.size()) + " bytes received\n";
            dump(bytes);
        }
    }
    return text;
}

const std::string READ_1W_01 = Request("01RW001001");
const std::string READ_1W_02 = Request("02RW000001");

// Station 1 answers every read with station 2's digits, four times; the
// driver takes 7 characters of each attempt, and the line never goes quiet.
std::vector<HandAttempt> QueuedReplies(const std::string& nextRequest)
{
    std::string queue;
    for (int i = 0; i < 4; ++i)
        queue += Framed("A02RW1234");
    std::vector<HandAttempt> attempts;
    for (size_t at = 0; at < queue.size(); at += 7)
        attempts.push_back({at < 28 ? READ_1W_01 : nextRequest, {queue.substr(at, 7)}});
    return attempts;
}

struct RestCase {
    const char* name;
    std::vector<HandAttempt> attempts;  // the last exchange is judged
    std::string reason;
    bool stationHeard;
    int restFrom;
    std::string says;   // in the failure's message and, but for its advice, the station's note
    std::string never;  // in neither
};
void PrintTo(const RestCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

const RestCase REST_CASES[] = {
    {"another station's queue is no answer, and is named", QueuedReplies(READ_1W_02), "no-reply", false, 1,
     "rest of replies to station 1 (01)", "share a station number"},
    {"the same request's queue is still its answer", QueuedReplies(READ_1W_01), "wrong-station", false, -1,
     "station 2 (02) answered", "rest of replies to"},
};

class RestOfAnotherRequest : public ::testing::TestWithParam<RestCase> {};

TEST_P(RestOfAnotherRequest, NeverAnAnswerAndNamesWhereItCameFrom)
{
    const RestCase& c = GetParam();
    const std::string text = HandTrace(c.attempts);
    const std::vector<TraceExchange> exchanges = ReadTrace(text);
    ASSERT_EQ(exchanges.size(), 2u) << text;
    ExchangeReporter reporter;
    reporter.Report({exchanges.front()});
    const ExchangeReport report = reporter.Report(exchanges);
    EXPECT_EQ(ReasonName(report), c.reason);
    // What kivhost stations counts as the station answering.
    EXPECT_EQ(report.stationHeard, c.stationHeard);
    EXPECT_EQ(report.restFrom, c.restFrom);
    const std::string message = FailureMessage(report, "read of 0xW", exchanges.back().Request().station, 100);
    const std::string note = StationNote(report);
    EXPECT_NE(message.find(c.says), std::string::npos) << message;
    EXPECT_EQ(message.find(c.never), std::string::npos) << message;
    EXPECT_EQ(note.find(c.never), std::string::npos) << note;
    if (c.restFrom >= 0) {
        EXPECT_NE(note.find(c.says), std::string::npos) << note;
    }
}

INSTANTIATE_TEST_SUITE_P(PacedLine, RestOfAnotherRequest, ::testing::ValuesIn(REST_CASES), CaseName());

// The driver's word that it is about to send, as its log and the trace
// view read it: by the trace reader's own rule.
TEST(TraceClassifierHidden, SendLinesAreKnownByTheirCountOnly)
{
    const struct {
        const char* line;
        long count;
    } cases[] = {
        {"REVIZ: 14 bytes will be send", 14},   {"REVIZ: 0 bytes will be send", 0},
        {"REVIZ: 14 bytes received", -1},       {"REVIZ:  bytes will be send", -1},
        {"REVIZ: 1x bytes will be send", -1},   {"REVIZ: 99999999 bytes will be send", -1},  // no frame is that long
        {"REVIZ: 14 bytes will be send\n", -1}, {"host: REVIZ: 14 bytes will be send", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SendLineCount(c.line), c.count) << c.line;
}

TEST(TraceClassifierHidden, ZeroByteHidesTheRestOfItsLineOnly)
{
    const std::string reply = LongReply();
    const std::vector<TraceExchange> exchanges = ReadTrace(DriverTrace({{LONG_READ, {reply}}}));
    ASSERT_EQ(exchanges.size(), 1u);
    const TraceAttempt& a = exchanges[0].attempts[0];
    // The zero is data byte 100, reply byte 106: the second reception (from
    // byte 7) shows it in its line 3, bytes 106 to 138 of the reply.
    for (size_t b = 0; b < a.replyShown.size(); ++b)
        EXPECT_EQ(a.replyShown[b], b <= 106 || b >= 139) << "byte " << b;
    EXPECT_EQ(a.replyBytes.back(), '\r');
    EXPECT_EQ(a.reply.values.size(), 255u);
}

// ---------------------------------------------------------------------------
// kivhost decode on a trace captured from a host run against plcsim, with
// faults that give every outcome (tests/data/README.md says how). Fed in
// pieces as well, as a pipe delivers it. KIV_UPDATE_GOLDEN=1 rewrites the
// expected files from what decode prints now.

struct GoldenCase {
    const char* name;
    bool json;
    size_t piece;  // 0: all at once
    const char* expected;
    const char* lineEnd = "\n";  // of the captured trace's lines
};
void PrintTo(const GoldenCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

const GoldenCase GOLDEN_CASES[] = {
    {"table at once", false, 0, "decode_every_outcome.txt"},
    {"json in pieces", true, 7, "decode_every_outcome.jsonl"},
    {"table of a trace with CR line ends, in pieces", false, 5, "decode_every_outcome.txt", "\r"},
    {"json of a trace with CR LF line ends, byte by byte", true, 1, "decode_every_outcome.jsonl", "\r\n"},
};

class TraceDecodeGolden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(TraceDecodeGolden, CapturedTraceDecodesAsBefore)
{
    const GoldenCase& c = GetParam();
    std::string trace;
    for (const char byte : ReadAll(std::string(KIV_TEST_DATA) + "/decode_every_outcome.trace"))
        trace += byte == '\n' ? std::string(c.lineEnd) : std::string(1, byte);
    ASSERT_FALSE(trace.empty());
    std::string out;
    TraceDecoder decoder(c.json, &out);
    const size_t piece = c.piece > 0 ? c.piece : trace.size();
    for (size_t at = 0; at < trace.size(); at += piece)
        decoder.Feed(std::string_view(trace).substr(at, piece));
    decoder.Finish();

    const std::string path = std::string(KIV_TEST_DATA) + "/" + c.expected;
    if (const char* update = std::getenv("KIV_UPDATE_GOLDEN"); update != nullptr && *update == '1')
        std::ofstream(path, std::ios::binary) << out;
    EXPECT_EQ(out, ReadAll(path));
}

INSTANTIATE_TEST_SUITE_P(Capture, TraceDecodeGolden, ::testing::ValuesIn(GOLDEN_CASES), CaseName());

// ---------------------------------------------------------------------------
// Trace lines too long to keep

TEST(TraceReaderBounds, LinesTooLongArePassedOverAndCounted)
{
    const std::string trace = ReadAll(std::string(KIV_TEST_DATA) + "/decode_every_outcome.trace");
    ASSERT_FALSE(trace.empty());
    const size_t exchanges = ReadTrace(trace).size();
    const std::string longest(TRACE_LONGEST_LINE, 'x');
    const struct {
        const char* name;
        std::string text;
        size_t piece;
        uint64_t cut;
        size_t exchanges;  // of the trace that follows
    } cases[] = {
        {"the longest line kept, then the trace", longest + "\n" + trace, 4096, 0, exchanges},
        {"one longer, then the trace", longest + "y\r" + trace, 4096, 1, exchanges},
        {"two long lines among the trace", trace + std::string(200000, '\0') + "\n" + std::string(70000, '(') + "\r\n",
         65536, 2, exchanges},
        {"no line end at all", std::string(300000, 'x'), 1000, 1, 0},
    };
    for (const auto& c : cases) {
        TraceReader reader(TraceOutput::Exchanges);
        for (size_t at = 0; at < c.text.size(); at += c.piece)
            reader.Feed(std::string_view(c.text).substr(at, c.piece));
        reader.Finish();
        size_t got = 0;
        for (TraceExchange e; reader.NextExchange(&e);)
            ++got;
        EXPECT_EQ(reader.CutLines(), c.cut) << c.name;
        EXPECT_EQ(got, c.exchanges) << c.name;
    }
}

}  // namespace
