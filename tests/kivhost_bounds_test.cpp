// What kivhost does stays bounded however long it runs and whatever it is
// given: a scan with every station set aside waits instead of spinning,
// decode run as a program keeps no more than a line of bounded length.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/stop_token.h"
#include "kivhost/cycle_loop.h"
#include "scan/block_planner.h"
#include "scan/scan_engine.h"
#include "tests/file_text.h"

namespace {

using namespace kivhost;
using std::chrono::milliseconds;

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
