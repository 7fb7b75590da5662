// The scan without a line (kiv_scan): the engine's decisions on a clock of
// the test's, the table and the logs it shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "scan/block_planner.h"
#include "scan/scan_engine.h"
#include "scan/scan_logs.h"
#include "scan/scan_messages.h"
#include "scan/scan_table.h"
#include "tests/case_name.h"
#include "tests/terminal_text.h"
#include "wire/address_area.h"

namespace {

using namespace kivhost;
using std::chrono::milliseconds;

// ---------------------------------------------------------------------------
// The scan's decisions: which blocks a cycle asks, what the tags come to

struct EngineStep {
    double at;              // seconds since the first cycle
    std::string reads;      // the blocks asked, in order, and what each came to: "0g 1s"
    std::string qualities;  // of tags 0, 1, 2 after the cycle: g f d r
};

struct EngineCase {
    const char* name;
    std::vector<EngineStep> steps;
};

void PrintTo(const EngineCase& c, std::ostream* os)
{
    *os << c.name;
}

// Three tags, a block each: station 01, then 02 with two blocks. Retried
// every 10 s. g good, s silent (no reply), n not acknowledged, r rejected,
// b bad data (taken by the driver, its data damaged).
const EngineCase ENGINE_CASES[] = {
    {"a silent station is asked again only when its retry is due",
     {{0, "0g 1s", "gfd"}, {5, "0g", "gdd"}, {9.9, "0g", "gdd"}, {10.1, "0g 1g 2g", "ggg"}}},
    {"a failed retry keeps the station's other blocks waiting",
     {{0, "0g 1s", "gfd"}, {10.1, "0g 1s", "gfd"}, {15, "0g", "gdd"}, {20.2, "0g 1g 2g", "ggg"}}},
    {"a station silent on its second block is set aside from there",
     {{0, "0g 1g 2s", "ggf"}, {1, "0g", "gdd"}, {10.1, "0g 1g 2g", "ggg"}}},
    {"a refused block is set aside alone: its station answers",
     {{0, "0g 1n 2g", "gfg"}, {5, "0g 2g", "gdg"}, {10.1, "0g 1g 2g", "ggg"}}},
    {"a read the driver rejects costs no time and is asked every cycle",
     {{0, "0g 1r 2g", "grg"}, {1, "0g 1r 2g", "grg"}}},
    {"damaged data is not good, and its station is still asked",
     {{0, "0g 1b 2g", "gbg"}, {1, "0g 1g 2b", "ggb"}, {2, "0g 1g 2g", "ggg"}}},
};

class ScanDecisions : public ::testing::TestWithParam<EngineCase> {};

TEST_P(ScanDecisions, BlocksAskedAndQualities)
{
    std::vector<Tag> tags(3);
    tags[0].address = {1, 'W', 0x10, NO_BIT, 16};
    tags[1].address = {2, 'B', 0x10, NO_BIT, 1};
    tags[2].address = {2, 'W', 0x10, NO_BIT, 16};
    ReadPlan plan = PlanReads(tags, DEFAULT_MAX_GAP);
    ASSERT_EQ(plan.blocks.size(), 3u);
    ScanSettings settings;
    settings.retryDown = std::chrono::seconds(10);
    ScanEngine engine(tags, plan, settings);

    const ScanMoment start = ScanMoment::Now();
    for (const EngineStep& step : GetParam().steps) {
        ScanMoment now = start;
        now.steady += std::chrono::milliseconds(static_cast<long>(step.at * 1000));
        now.wall += std::chrono::milliseconds(static_cast<long>(step.at * 1000));
        engine.BeginCycle(now);
        std::string asked;
        for (size_t read = 0; const std::optional<size_t> block = engine.NextBlock(now); ++read) {
            const size_t at = read * 3 + 1;  // "0g 1s": what the read comes to
            const char kind = at < step.reads.size() ? step.reads[at] : 'g';
            BlockOutcome outcome;
            outcome.attempts = kind == 'r' ? 0 : 1;
            if (kind == 'g') {
                outcome.elements.assign(1, 7);
            } else if (kind == 'b') {
                outcome.elements.assign(1, 0xFFFF);  // what the driver makes of digits that are not hex
                outcome.doubt = Doubt::BadData;
            } else {
                outcome.result = kind == 'r' ? REJECTED : RECOVERY_ERROR;
                outcome.reason = kind == 's' ? Outcome::NoReply : kind == 'n' ? Outcome::Nak : Outcome::Good;
                outcome.attempts = kind == 'r' ? 0 : 4;
            }
            asked += (asked.empty() ? "" : " ") + std::to_string(*block) + kind;
            engine.Record(*block, outcome, now);
        }
        engine.EndCycle(now, true);
        EXPECT_EQ(asked, step.reads) << "at " << step.at << " s";
        std::string qualities;
        for (const TagState& state : engine.States()) {
            qualities += QualityName(state.quality)[0];
            EXPECT_NE(state.values, std::vector<uint16_t>{0xFFFF}) << "a damaged value kept, at " << step.at << " s";
        }
        EXPECT_EQ(qualities, step.qualities) << "at " << step.at << " s";
    }
}

INSTANTIATE_TEST_SUITE_P(Cycles, ScanDecisions, ::testing::ValuesIn(ENGINE_CASES), CaseName());

// How long a station or block was set aside is told by the steady clock: the
// system time set while it was away does not change it; the events' time
// stamps still show the wall clock.
TEST(ScanDecisions, BackAgainCarriesTheSteadyDuration)
{
    using std::chrono::hours;
    const struct {
        const char* name;
        Outcome failure;  // of block 1 (station 02) in the first cycle
        std::chrono::system_clock::duration wallJump;
        ScanEvent::Kind back;
    } cases[] = {
        {"a silent station, the clock set back an hour", Outcome::NoReply, -hours(1), ScanEvent::Kind::StationBack},
        {"a silent station, the clock set on a day", Outcome::NoReply, hours(24), ScanEvent::Kind::StationBack},
        {"a refused block, the clock set back an hour", Outcome::Nak, -hours(1), ScanEvent::Kind::BlockBack},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Tag> tags(3);
        tags[0].address = {1, 'W', 0x10, NO_BIT, 16};
        tags[1].address = {2, 'B', 0x10, NO_BIT, 1};
        tags[2].address = {2, 'W', 0x10, NO_BIT, 16};
        ScanSettings settings;
        settings.retryDown = std::chrono::seconds(10);
        ScanEngine engine(tags, PlanReads(tags, DEFAULT_MAX_GAP), settings);
        BlockOutcome good;
        good.elements.assign(1, 7);
        good.attempts = 1;
        BlockOutcome failed;
        failed.result = RECOVERY_ERROR;
        failed.reason = c.failure;
        failed.attempts = 4;

        ScanMoment now = ScanMoment::Now();
        engine.BeginCycle(now);
        while (const std::optional<size_t> block = engine.NextBlock(now))
            engine.Record(*block, *block == 1 ? failed : good, now);
        engine.EndCycle(now, true);

        now.steady += std::chrono::milliseconds(10100);
        now.wall += std::chrono::milliseconds(10100) + c.wallJump;
        engine.BeginCycle(now);
        while (const std::optional<size_t> block = engine.NextBlock(now))
            engine.Record(*block, good, now);
        engine.EndCycle(now, true);

        const std::vector<ScanEvent>& events = engine.Events();
        const auto back =
            std::find_if(events.begin(), events.end(), [&](const ScanEvent& e) { return e.kind == c.back; });
        ASSERT_NE(back, events.end());
        EXPECT_NEAR(back->downSeconds, 10.1, 1e-9);
        EXPECT_EQ(back->time, now.wall);
        EXPECT_NE(EventText(engine, *back).find("again, after 10.1 s set aside"), std::string::npos)
            << EventText(engine, *back);
    }
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

// ---------------------------------------------------------------------------
// The table and the logs

// Twelve tags of one station, the first a run of four words.
ScanEngine TwelveTags()
{
    std::vector<Tag> tags(12);
    for (size_t i = 0; i < tags.size(); ++i) {
        tags[i].name = "tag " + std::to_string(i);
        tags[i].address = {1, 'W', static_cast<int32_t>(0x100 * i), NO_BIT, 16};
        tags[i].text = ElementAddress(tags[i].address, 0);
    }
    tags[0].name = "tank levels";
    tags[0].count = 4;
    ReadPlan plan = PlanReads(tags, DEFAULT_MAX_GAP);
    ScanEngine engine(tags, plan, ScanSettings{});
    const ScanMoment now = ScanMoment::Now();
    engine.BeginCycle(now);
    while (const std::optional<size_t> block = engine.NextBlock(now)) {
        BlockOutcome outcome;
        outcome.attempts = 1;
        for (int32_t i = 0; i < engine.Plan().blocks[*block].count; ++i)
            outcome.elements.push_back(static_cast<uint16_t>(1000 + i));
        engine.Record(*block, outcome, now);
    }
    engine.EndCycle(now, true);
    return engine;
}

TEST(ScanTable, ARunIsOneRowAndPagesFollowOnWithoutOverlap)
{
    const ScanEngine engine = TwelveTags();
    for (const auto& [width, height] : std::vector<std::pair<int, int>>{{60, 14}, {60, 12}, {30, 9}}) {
        TableView view;
        view.width = width;
        view.height = height;
        view.title = "kivhost scan tags.csv on /dev/ttyUSB0 (9600 7E1, time-out 1000 ms), every 500 ms";
        std::vector<std::string> seen;  // the tags, in the order the pages showed them
        std::set<std::string> previous;
        for (int drawing = 0; drawing < 12; ++drawing) {
            // Events come and go: the room for tags changes from one drawing to the next.
            view.events.assign(static_cast<size_t>(drawing % 3), "01:38:14.372 station 2 (02) answers again");
            view.seconds = 3.0 * drawing;
            const std::vector<std::string> lines = TableLines(engine, view);
            const std::string at =
                std::to_string(width) + "x" + std::to_string(height) + ", drawing " + std::to_string(drawing);
            EXPECT_LE(lines.size(), static_cast<size_t>(height - 1)) << at;
            std::set<std::string> page;
            for (const std::string& line : lines) {
                const std::string name = Trimmed(line.substr(0, 16));
                if (name == "tank levels") {
                    EXPECT_NE(line.find("1000 1001 1002 1003"), std::string::npos) << at << ": " << line;
                } else if (!name.starts_with("tag ")) {
                    continue;
                }
                page.insert(name);
                seen.push_back(name);
            }
            ASSERT_NE(lines[lines.size() - 1 - view.events.size()].find("turning every"), std::string::npos) << at;
            for (const std::string& name : page)
                EXPECT_EQ(previous.count(name), 0u) << at << ": " << name << " on the page before too";
            previous = page;
        }
        // Page after page, every tag once before the first comes again.
        ASSERT_GT(seen.size(), 12u);
        for (size_t i = 0; i < 12; ++i)
            EXPECT_EQ(seen[i], engine.Tags()[i].name) << width << "x" << height;
    }
}

TEST(ScanLogs, ARunHasACsvRowPerElementWithItsOwnAddress)
{
    const ScanEngine engine = TwelveTags();
    const std::vector<std::string> run = CsvRows(engine, 0);
    ASSERT_EQ(run.size(), 4u);
    EXPECT_TRUE(run[3].ends_with(",tank levels[3],01W0003,1003,good,,1")) << run[3];
    const std::vector<std::string> single = CsvRows(engine, 1);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_TRUE(single[0].ends_with(",tag 1,01W0100,1000,good,,1")) << single[0];
}

}  // namespace
