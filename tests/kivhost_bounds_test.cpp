// What kivhost keeps and does stays bounded however long it runs and
// whatever it is given: a scan with every station set aside waits instead
// of spinning, the monitor's latencies take fixed room, decode keeps no
// more than a line of bounded length.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/latency_histogram.h"
#include "analysis/trace_reader.h"
#include "common/stop_token.h"
#include "kivhost/cycle_loop.h"
#include "scan/block_planner.h"
#include "scan/scan_engine.h"

namespace {

using namespace kivhost;
using std::chrono::milliseconds;

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

// ---------------------------------------------------------------------------
// The scan's wait for a block due

// Station 1's block, then station 2's; the first cycle reads block b at
// start + 2 s * b with the outcome of its row; the retries are 10 s apart.
TEST(ScanDecisions, NextDueIsTheFirstBlockACycleWouldAsk)
{
    const struct {
        const char* name;
        Outcome station1;
        Outcome station2;
        std::optional<int> dueAfterMs;  // from the start; none: at once
    } cases[] = {
        {"both answer", Outcome::Good, Outcome::Good, std::nullopt},
        {"station 2 silent, station 1 answers", Outcome::Good, Outcome::NoReply, std::nullopt},
        {"station 1 refuses its block, station 2 answers", Outcome::Nak, Outcome::Good, std::nullopt},
        {"both silent: station 1's retry first", Outcome::NoReply, Outcome::NoReply, 10000},
        {"station 1 silent, station 2 refuses its block", Outcome::NoReply, Outcome::Nak, 10000},
        {"station 1 answers wrongly, station 2 silent", Outcome::WrongStation, Outcome::Short, 10000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Tag> tags(2);
        tags[0].address = {1, 'W', 0x10, NO_BIT, 16};
        tags[1].address = {2, 'W', 0x10, NO_BIT, 16};
        ScanSettings settings;
        settings.retryDown = std::chrono::seconds(10);
        ScanEngine engine(tags, PlanReads(tags, DEFAULT_MAX_GAP), settings);
        ASSERT_EQ(engine.Plan().blocks.size(), 2u);

        const ScanMoment start = ScanMoment::Now();
        const auto at = [&](int ms) {
            ScanMoment moment = start;
            moment.steady += milliseconds(ms);
            moment.wall += milliseconds(ms);
            return moment;
        };
        engine.BeginCycle(start);
        while (const std::optional<size_t> block = engine.NextBlock(start)) {
            BlockOutcome outcome;
            outcome.reason = *block == 0 ? c.station1 : c.station2;
            if (outcome.reason == Outcome::Good) {
                outcome.elements.assign(1, 7);
            } else {
                outcome.result = RECOVERY_ERROR;
                outcome.attempts = 4;
            }
            engine.Record(*block, outcome, at(2000 * static_cast<int>(*block)));
        }
        engine.EndCycle(at(2000), true);

        const ScanMoment after = at(2500);
        const SteadyTime due = engine.NextDue(after.steady);
        EXPECT_EQ(due, c.dueAfterMs ? at(*c.dueAfterMs).steady : after.steady);
        // A cycle at the time due asks a block; one a moment before asks none.
        if (c.dueAfterMs) {
            const ScanMoment before = at(*c.dueAfterMs - 1);
            engine.BeginCycle(before);
            EXPECT_FALSE(engine.NextBlock(before).has_value());
            engine.EndCycle(before, true);
        }
        const ScanMoment then = c.dueAfterMs ? at(*c.dueAfterMs) : after;
        engine.BeginCycle(then);
        EXPECT_TRUE(engine.NextBlock(then).has_value());
        // Once past, what is due is due now: no wait.
        EXPECT_LE(engine.NextDue(at(60000).steady), at(60000).steady);
    }
}

// --interval 0 with the only station silent: a cycle follows another only
// when its retry is due, and none asks nothing. A bound on the work done
// in half a second, not on its speed.
TEST(ScanDecisions, EveryStationSetAsideWaitsForTheRetryInsteadOfSpinning)
{
    std::vector<Tag> tags(2);
    tags[0].address = {1, 'W', 0x10, NO_BIT, 16};
    tags[1].address = {1, 'B', 0x10, NO_BIT, 1};
    ScanSettings settings;
    settings.retryDown = milliseconds(200);
    ScanEngine engine(tags, PlanReads(tags, DEFAULT_MAX_GAP), settings);
    BlockOutcome silent;
    silent.result = RECOVERY_ERROR;
    silent.reason = Outcome::NoReply;
    silent.attempts = 4;

    int cycles = 0;
    int empty = 0;
    const auto end = std::chrono::steady_clock::now() + milliseconds(500);
    const StopToken never;
    for (CycleLoop loop(0, 0, never);
         std::chrono::steady_clock::now() < end && loop.Next(engine.NextDue(std::chrono::steady_clock::now()));) {
        engine.BeginCycle(ScanMoment::Now());
        while (const std::optional<size_t> block = engine.NextBlock(ScanMoment::Now()))
            engine.Record(*block, silent, ScanMoment::Now());
        engine.EndCycle(ScanMoment::Now(), true);
        ++cycles;
        empty += engine.Cycle().exchanges == 0 ? 1 : 0;
    }
    EXPECT_EQ(empty, 0);
    EXPECT_GE(cycles, 2);  // the first, and the retries
    EXPECT_LE(cycles, 5);
}

// ---------------------------------------------------------------------------
// decode on text without line ends

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

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

// kivhost decode run as a program on megabytes of fill, then rest: its
// exit status, output and peak memory (KiB). Freed memory counts as freed
// under the address sanitizer too (no quarantine), so that its peak is the
// program's own.
struct DecodeRun {
    int status = -1;
    std::string output;
    long maxRssKiB = 0;
    bool written = false;
};

DecodeRun RunDecode(char fill, int megabytes, const std::string& rest)
{
    DecodeRun run;
    char outPath[] = "/tmp/kivhost-decode-XXXXXX";
    const int out = mkstemp(outPath);
    int input[2];
    if (out < 0 || pipe(input) != 0)
        return run;
    const pid_t child = fork();
    if (child == 0) {
        dup2(input[0], 0);
        dup2(out, 1);
        close(input[0]);
        close(input[1]);
        const char* asan = getenv("ASAN_OPTIONS");
        const std::string options = std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=0";
        setenv("ASAN_OPTIONS", options.c_str(), 1);
        execl(KIVHOST_PATH, KIVHOST_PATH, "decode", "-", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(input[0]);
    close(out);
    const std::string chunk(1 << 20, fill);
    run.written = child > 0;
    for (int i = 0; i < megabytes && run.written; ++i)
        run.written = write(input[1], chunk.data(), chunk.size()) == static_cast<ssize_t>(chunk.size());
    run.written = run.written && write(input[1], rest.data(), rest.size()) == static_cast<ssize_t>(rest.size());
    close(input[1]);
    rusage usage{};
    if (child > 0 && wait4(child, &run.status, 0, &usage) == child)
        run.maxRssKiB = usage.ru_maxrss;
    run.output = ReadAll(outPath);
    unlink(outPath);
    return run;
}

// kivhost decode as a program, fed 64 MB without a line feed: it keeps a
// bounded amount, passes the line over and says so, and reads the trace
// after it as usual. Its peak memory is measured against the same program
// decoding the trace alone.
TEST(TraceReaderBounds, DecodeOf64MbWithoutALineFeedStaysSmall)
{
    const std::string trace = ReadAll(std::string(KIV_TEST_DATA) + "/decode_every_outcome.trace");
    const std::string decoded = ReadAll(std::string(KIV_TEST_DATA) + "/decode_every_outcome.txt");
    const std::string said = "1 line longer than 65536 characters passed over: not the driver's\n";
    const DecodeRun alone = RunDecode('x', 0, trace);
    ASSERT_TRUE(WIFEXITED(alone.status) && WEXITSTATUS(alone.status) == 0) << alone.status;
    ASSERT_EQ(alone.output, decoded);
    const struct {
        const char* name;
        char fill;
        bool traceAfter;
    } cases[] = {
        {"text", 'x', false},
        {"zero bytes, then a trace", '\0', true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const DecodeRun run = RunDecode(c.fill, 64, c.traceAfter ? "\n" + trace : "");
        EXPECT_TRUE(run.written);
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.status;
        // The input is 64 MB; what a long line may cost is its cut-off, far below.
        EXPECT_LT(run.maxRssKiB, alone.maxRssKiB + 16 * 1024) << "KiB at most, against " << alone.maxRssKiB;
        if (c.traceAfter) {
            EXPECT_EQ(run.output, decoded + said);
        } else {
            EXPECT_TRUE(run.output.starts_with("Per station:\n")) << run.output;
            EXPECT_TRUE(run.output.ends_with(said)) << run.output;
        }
    }
}

}  // namespace
