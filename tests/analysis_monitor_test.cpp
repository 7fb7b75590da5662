// A listening line analysed (kiv_analysis): bytes cut into frames, requests
// paired with their replies, what a stop counts, the latency percentiles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "analysis/frame_splitter.h"
#include "analysis/latency_histogram.h"
#include "analysis/line_monitor.h"
#include "tests/case_name.h"
#include "tests/framed.h"
#include "tests/pcon_cases.h"
#include "wire/pcon_frame.h"

namespace {

using namespace kivhost;

// ---------------------------------------------------------------------------
// A listening line cut into frames

struct Chunk {
    std::string bytes;
    uint64_t us;
};

struct SplitCase {
    const char* name;
    std::vector<Chunk> chunks;
    uint64_t idleUs;  // then nothing until this time (0: the input ends)
    std::vector<LineFrame> frames;
};
void PrintTo(const SplitCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

constexpr uint64_t GAP_US = 20000;

LineFrame F(std::string bytes, uint64_t startUs, uint64_t endUs, FrameEnd end, bool garbage = false)
{
    return LineFrame{std::move(bytes), startUs, endUs, garbage, end};
}

const SplitCase SPLIT_CASES[] = {
    {"a frame over three reads",
     {{"/01R", 10}, {"W00100", 900}, {"22D\r", 1500}},
     0,
     {F("/01RW0010022D\r", 10, 1500, FrameEnd::Cr)}},
    {"two frames in one read",
     {{"/01RW0010022D\r/A01RW1234ABCD9E\r", 70}},
     0,
     {F("/01RW0010022D\r", 70, 70, FrameEnd::Cr), F("/A01RW1234ABCD9E\r", 70, 70, FrameEnd::Cr)}},
    {"CR lost, then a gap",
     {{"/01RW0010022D", 0}, {"/A01", 50000}, {"RW1234ABCD9E\r", 51000}},
     0,
     {F("/01RW0010022D", 0, 0, FrameEnd::Gap), F("/A01RW1234ABCD9E\r", 50000, 51000, FrameEnd::Cr)}},
    {"CR lost, the next frame at once",
     {{"/01RW0010022D/A01RW1234ABCD9E\r", 5}},
     0,
     {F("/01RW0010022D", 5, 5, FrameEnd::NextFrame), F("/A01RW1234ABCD9E\r", 5, 5, FrameEnd::Cr)}},
    {"CR lost, then silence",
     {{"/01RW0010022D", 100}},
     100 + GAP_US + 1,
     {F("/01RW0010022D", 100, 100, FrameEnd::Gap)}},
    {"a pause shorter than the gap",
     {{"/01RW00", 0}, {"10022D\r", GAP_US}},
     0,
     {F("/01RW0010022D\r", 0, GAP_US, FrameEnd::Cr)}},
    {"noise before, between and after",
     {{std::string("\xFF\0", 2), 0}, {"/01RW0010022D\r~~", 10}, {"\r", 20}, {"/A01", 30}, {"RW", 40}, {"zz", 90000}},
     0,
     {F(std::string("\xFF\0", 2), 0, 0, FrameEnd::NextFrame, true), F("/01RW0010022D\r", 10, 10, FrameEnd::Cr),
      F("~~\r", 10, 20, FrameEnd::Cr, true), F("/A01RW", 30, 40, FrameEnd::Gap),
      F("zz", 90000, 90000, FrameEnd::EndOfInput, true)}},
    {"longer than any frame",
     {{"/" + std::string(2100, '1'), 0}},
     0,
     {F("/" + std::string(2047, '1'), 0, 0, FrameEnd::Overlong),
      F(std::string(53, '1'), 0, 0, FrameEnd::EndOfInput, true)}},
};

class LineSplitting : public ::testing::TestWithParam<SplitCase> {};

TEST_P(LineSplitting, FramesTimesAndGarbage)
{
    const SplitCase& c = GetParam();
    FrameSplitter splitter(GAP_US);
    for (const Chunk& chunk : c.chunks)
        splitter.Feed(chunk.bytes, chunk.us);
    if (c.idleUs)
        splitter.Idle(c.idleUs);
    else
        splitter.Finish();
    std::vector<LineFrame> frames;
    LineFrame frame;
    while (splitter.Next(&frame))
        frames.push_back(frame);
    ASSERT_EQ(frames.size(), c.frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        EXPECT_EQ(frames[i].bytes, c.frames[i].bytes);
        EXPECT_EQ(frames[i].startUs, c.frames[i].startUs);
        EXPECT_EQ(frames[i].endUs, c.frames[i].endUs);
        EXPECT_EQ(frames[i].garbage, c.frames[i].garbage);
        EXPECT_EQ(frames[i].end, c.frames[i].end);
    }
}

INSTANTIATE_TEST_SUITE_P(Monitor, LineSplitting, ::testing::ValuesIn(SPLIT_CASES), CaseName());

// ---------------------------------------------------------------------------
// Requests paired with the replies that follow them

struct PairSeen {
    bool hasRequest;
    Outcome outcome;
    int attempt;
    uint32_t flags;
    uint64_t latencyUs;

    bool operator==(const PairSeen&) const = default;
};

void PrintTo(const PairSeen& p, std::ostream* os)
{
    *os << (p.hasRequest ? "request " : "no request ") << OutcomeName(p.outcome) << " attempt " << p.attempt
        << " flags " << p.flags << " latency " << p.latencyUs;
}

struct PairCase {
    const char* name;
    std::vector<LineFrame> frames;
    std::vector<PairSeen> pairs;
};
void PrintTo(const PairCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

constexpr uint64_t LATE_US = 1000000;
const std::string GOOD_2W = Framed("A01RW1234ABCD");

LineFrame At(const std::string& bytes, uint64_t startUs, uint64_t endUs)
{
    return F(bytes, startUs, endUs, bytes.back() == '\r' ? FrameEnd::Cr : FrameEnd::Gap, bytes[0] != '/');
}

const PairCase PAIR_CASES[] = {
    {"answered", {At(READ_2W, 0, 14), At(GOOD_2W, 30, 47)}, {{true, Outcome::Good, 1, 0, 16}}},
    {"a retry after silence",
     {At(READ_2W, 0, 14), At(READ_2W, 1000000, 1000014), At(GOOD_2W, 1000020, 1000040)},
     {{true, Outcome::NoReply, 1, 0, 0}, {true, Outcome::Good, 2, 0, 6}}},
    {"late", {At(READ_2W, 0, 14), At(GOOD_2W, 1500014, 1500030)}, {{true, Outcome::Good, 1, PAIR_LATE, 1500000}}},
    {"answered twice",
     {At(READ_2W, 0, 14), At(GOOD_2W, 20, 40), At(GOOD_2W, 50, 70)},
     {{true, Outcome::Good, 1, 0, 6}, {true, Outcome::Good, 1, PAIR_ANSWERED_AGAIN, 36}}},
    {"a reply without a request", {At(GOOD_2W, 0, 17)}, {{false, Outcome::Good, 0, PAIR_NO_REQUEST, 0}}},
    {"a bad request checksum",
     {At("/01RW0010022E\r", 0, 14)},
     {{true, Outcome::NoReply, 1, PAIR_BAD_REQUEST_CHECKSUM, 0}}},
    {"garbage where the reply should be",
     {At(READ_2W, 0, 14), At("\xF0\xF8\xFF", 20, 20)},
     {{true, Outcome::Garbled, 1, PAIR_GARBAGE, 6}}},
    {"garbage and a reply without its CR",
     {At("\xF0\xF8", 0, 0), At(READ_2W, 5, 14), At(GOOD_2W.substr(0, 16), 20, 30)},
     {{false, Outcome::Garbled, 0, PAIR_GARBAGE, 0}, {true, Outcome::Short, 1, PAIR_NO_CR, 6}}},
    {"another station answers, four times",
     {At(READ_2W, 0, 1), At(Framed("A02RW1234ABCD"), 2, 3), At(READ_2W, 4, 5), At(Framed("A02RW1234ABCD"), 6, 7),
      At(READ_2W, 8, 9), At(Framed("A02RW1234ABCD"), 10, 11), At(READ_2W, 12, 13), At(Framed("A02RW1234ABCD"), 14, 15),
      At(READ_2W, 16, 17)},
     {{true, Outcome::WrongStation, 1, 0, 1},
      {true, Outcome::WrongStation, 2, 0, 1},
      {true, Outcome::WrongStation, 3, 0, 1},
      {true, Outcome::WrongStation, 4, 0, 1},
      {true, Outcome::NoReply, 1, 0, 0}}},
};

class LinePairing : public ::testing::TestWithParam<PairCase> {};

TEST_P(LinePairing, OutcomesAttemptsAndFlags)
{
    const PairCase& c = GetParam();
    LinePairer pairer(LATE_US);
    for (const LineFrame& frame : c.frames)
        pairer.Add(frame);
    pairer.Finish();
    std::vector<PairSeen> seen;
    LinePair pair;
    while (pairer.Next(&pair))
        seen.push_back({pair.hasRequest, pair.outcome, pair.attempt, pair.flags, pair.latencyUs});
    EXPECT_EQ(seen, c.pairs);
}

INSTANTIATE_TEST_SUITE_P(Monitor, LinePairing, ::testing::ValuesIn(PAIR_CASES), CaseName());

// Ctrl-C is not a line fault: a frame it cuts is no short reply, no missing
// CR; the end of the input (a capture, a hang-up) still judges it.
struct StopCase {
    const char* name;
    std::vector<Chunk> chunks;
    bool stopped;  // Ctrl-C, or the end of the input
    uint64_t attempts, noReply, shortReplies, noCr;
};
void PrintTo(const StopCase& c, std::ostream* os)
{
    PrintCaseName(c, os);
}

const StopCase STOP_CASES[] = {
    {"a reply cut by Ctrl-C", {{READ_2W, 0}, {GOOD_2W.substr(0, 8), 20}}, true, 0, 0, 0, 0},
    {"a reply cut by the end of the input", {{READ_2W, 0}, {GOOD_2W.substr(0, 8), 20}}, false, 1, 0, 1, 1},
    {"a request cut by Ctrl-C", {{READ_2W, 0}, {GOOD_2W, 20}, {READ_2W.substr(0, 6), 30}}, true, 1, 0, 0, 0},
    {"no reply before Ctrl-C", {{READ_2W, 0}}, true, 1, 1, 0, 0},
    {"answered before Ctrl-C", {{READ_2W, 0}, {GOOD_2W, 20}}, true, 1, 0, 0, 0},
};

class LineStopping : public ::testing::TestWithParam<StopCase> {};

TEST_P(LineStopping, OnlyTheLineCountsAsAFault)
{
    const StopCase& c = GetParam();
    MonitorSettings settings;
    settings.gapUs = GAP_US;
    LineMonitor monitor(settings, MonitorOutputs{});
    for (const Chunk& chunk : c.chunks)
        monitor.Feed(chunk.bytes, chunk.us);
    if (c.stopped)
        monitor.Stop();
    else
        monitor.Finish();
    const auto& stations = monitor.Tally().Stations();
    LineTally::Station station;
    if (const auto found = stations.find(1); found != stations.end())
        station = found->second;
    EXPECT_EQ(station.attempts, c.attempts);
    EXPECT_EQ(station.failures[Outcome::NoReply], c.noReply);
    EXPECT_EQ(station.failures[Outcome::Short], c.shortReplies);
    EXPECT_EQ(monitor.Tally().Flags().noCr, c.noCr);
}

INSTANTIATE_TEST_SUITE_P(Monitor, LineStopping, ::testing::ValuesIn(STOP_CASES), CaseName());

// ---------------------------------------------------------------------------
// The monitor's latency percentiles

uint64_t ExactPercentile(std::vector<uint64_t> values, double p)
{
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

std::vector<uint64_t> Spread(size_t n, uint64_t low, uint64_t high, unsigned seed)
{
    std::mt19937_64 random(seed);
    std::uniform_int_distribution<uint64_t> pick(low, high);
    std::vector<uint64_t> values(n);
    for (uint64_t& v : values)
        v = pick(random);
    return values;
}

TEST(LatencyHistogram, PercentilesWithinTheBucketErrorOfTheExactOnes)
{
    std::vector<uint64_t> twoStations = Spread(5000, 30, 60, 1);
    const std::vector<uint64_t> slow = Spread(100, 800000, 1200000, 2);
    twoStations.insert(twoStations.end(), slow.begin(), slow.end());
    const struct {
        const char* name;
        std::vector<uint64_t> values;  // microseconds
    } cases[] = {
        {"one reply", {12345}},
        {"small values, kept exactly", {3, 1, 2, 127, 7, 0, 64}},
        {"pty round trips, 30 to 60 us", Spread(20000, 30, 60, 3)},
        {"9600 baud, 20 ms to 1.2 s", Spread(20000, 20000, 1200000, 4)},
        {"a quick station and a slow one", twoStations},
        {"at the edges of the buckets", {127, 128, 129, 255, 256, 257, 8191, 8192, 8193}},
        {"the largest count there is", {1, 5000000, std::numeric_limits<uint64_t>::max()}},
    };
    for (const auto& c : cases) {
        LatencyHistogram histogram;
        for (uint64_t v : c.values)
            histogram.Add(v);
        ASSERT_EQ(histogram.Count(), c.values.size()) << c.name;
        for (double p : {0.0, 1.0, 50.0, 90.0, 99.0, 99.9, 100.0}) {
            const uint64_t exact = ExactPercentile(c.values, p);
            const uint64_t got = histogram.Percentile(p);
            const uint64_t error = got > exact ? got - exact : exact - got;
            // Below 128 a bucket holds one value; the largest is kept as it is.
            const uint64_t allowed =
                exact < LatencyHistogram::EXACT_BELOW || p == 100.0
                    ? 0
                    : static_cast<uint64_t>(static_cast<long double>(exact) * LatencyHistogram::RELATIVE_ERROR);
            EXPECT_LE(error, allowed) << c.name << ", p" << p << ": " << got << " for " << exact;
        }
    }
    EXPECT_EQ(LatencyHistogram().Percentile(50), 0u) << "nothing counted";
}

}  // namespace
