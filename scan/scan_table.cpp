#include "scan/scan_table.h"

#include <algorithm>
#include <cstdio>

#include "analysis/exchange_report.h"
#include "common/time_stamp.h"
#include "common/tool_text.h"
#include "scan/scan_messages.h"
#include "wire/address_area.h"

namespace kivhost {
namespace {

constexpr double PAGE_SECONDS = 3;  // how long a page of tags stays
constexpr size_t NAME_WIDTH = 16;
constexpr size_t ADDRESS_WIDTH = 9;
constexpr size_t VALUE_WIDTH = 19;                           // at least: "1011 0000 1100 0001", or "  4660  0x1234"
constexpr size_t AFTER_VALUE = 2 + 8 + 1 + 13 + 1 + 15 + 4;  // quality, last good, reason, attempts

// A tag's elements as one row shows them: one word in decimal and hex, a
// run of words in decimal, bits in fours.
std::string ValueColumn(const Tag& tag, const TagState& state, size_t width)
{
    const std::vector<uint16_t>& values = state.values;
    if (values.empty())
        return Fit("-", width);
    std::string value;
    if (tag.address.operand == 'W' && tag.address.bit == NO_BIT) {
        if (values.size() == 1) {
            value = Printf("%6u  0x%04X", static_cast<unsigned>(values[0]), static_cast<unsigned>(values[0]));
            return Fit(std::string(VALUE_WIDTH - std::min(VALUE_WIDTH, value.size()), ' ') + value, width);
        }
        value = ValueText(state);
    } else {
        for (size_t i = 0; i < values.size(); ++i) {
            if (i > 0 && i % 4 == 0)
                value += ' ';
            value += values[i] ? '1' : '0';
        }
    }
    return Fit(value, width);
}

std::string TagRow(const ScanEngine& engine, size_t index, size_t valueWidth)
{
    const Tag& tag = engine.Tags()[index];
    const TagState& state = engine.States()[index];
    const std::string lastGood = state.lastGood ? UtcClockTime(*state.lastGood) : "-";
    const std::string attempts = state.attempts > 0 ? std::to_string(state.attempts) : "";
    const char* quality = state.quality == Quality::None ? "waiting" : QualityName(state.quality);
    return Fit(tag.name, NAME_WIDTH) + " " + Fit(tag.text, ADDRESS_WIDTH) + " " + ValueColumn(tag, state, valueWidth) +
           "  " + Fit(quality, 8) + " " + Fit(lastGood, 13) + " " + Fit(ReasonText(state), 15) + " " + attempts;
}

// The cycle's figures, or before the first what is being waited for.
std::string CycleFigures(const ScanEngine& engine)
{
    const CycleStats& cycle = engine.Cycle();
    if (cycle.number == 0)
        return "waiting for the first cycle's replies: " +
               Plural(static_cast<long long>(engine.Plan().blocks.size()), "exchange", "exchanges") + " for " +
               Plural(static_cast<long long>(engine.Tags().size()), "tag", "tags");
    return "cycle " + std::to_string(cycle.number) + ": " + Printf("%.1f ms", cycle.ms) + " (average " +
           Printf("%.1f", engine.AverageMs()) + ", max " + Printf("%.1f", engine.MaxMs()) + "), " +
           Plural(cycle.exchanges, "exchange", "exchanges") + " for " +
           Plural(static_cast<long long>(engine.Tags().size()), "tag", "tags") + ", " + std::to_string(cycle.failures) +
           " failed (" + std::to_string(engine.Failures()) + " of " + std::to_string(engine.Exchanges()) + " in all)";
}

// The page to show of rows tags with room for perPage: the one shown
// before (shrunk with its room, never grown into the next), or the next
// once it has stood long enough. The first after the last stops short of
// the rows just shown.
void TurnPage(TablePage& page, size_t rows, size_t perPage, double seconds)
{
    if (page.shown == 0 || page.first >= rows) {
        page = {0, std::min(rows, perPage), seconds};
    } else if (seconds - page.since >= PAGE_SECONDS) {
        const size_t before = page.first;
        size_t end = rows;
        page.first += page.shown;
        page.since = seconds;
        if (page.first >= rows) {
            page.first = 0;
            end = before > 0 ? before : rows;
        }
        page.shown = std::min(end - page.first, perPage);
    } else {
        page.shown = std::min(page.shown, perPage);
    }
}

}  // namespace

std::vector<std::string> TableLines(const ScanEngine& engine, TableView& view)
{
    std::vector<std::string> head;
    head.push_back(view.title);
    head.push_back(CycleFigures(engine));
    head.insert(head.end(), view.notes.begin(), view.notes.end());

    // Stations: those in trouble one a line, the others on one.
    std::string up;
    std::vector<int> tagsOf(engine.Stations().size());
    std::vector<int> goodOf(engine.Stations().size());
    for (size_t i = 0; i < engine.Tags().size(); ++i) {
        const int station = engine.Plan().blocks[engine.Plan().places[i].block].start.station;
        for (size_t s = 0; s < engine.Stations().size(); ++s)
            if (engine.Stations()[s].station == station) {
                ++tagsOf[s];
                goodOf[s] += engine.States()[i].quality == Quality::Good;
            }
    }
    std::vector<std::string> trouble;
    std::string down;
    std::string partly;
    // Before the first cycle nothing is known of them.
    for (size_t s = 0; s < engine.Stations().size() && engine.Cycle().number > 0; ++s) {
        const StationState& station = engine.Stations()[s];
        std::string& list = station.down ? down : goodOf[s] < tagsOf[s] ? partly : up;
        list += list.empty() ? "" : " ";
        list += StationText(station.station);
        if (station.down)
            trouble.push_back("station " + StationText(station.station) + " DOWN since " +
                              UtcClockTime(station.downSince) + " (" + OutcomeText(station.reason) + "), asked every " +
                              RetryWords(engine) + "; " + Plural(tagsOf[s], "tag", "tags") + " keep their last values");
        else if (goodOf[s] < tagsOf[s])
            trouble.push_back("station " + StationText(station.station) + " up, " + std::to_string(goodOf[s]) + " of " +
                              Plural(tagsOf[s], "tag", "tags") + " good");
    }
    // On a short terminal the stations in trouble share a line.
    if (static_cast<int>(trouble.size()) > std::max(1, view.height / 4)) {
        trouble.clear();
        if (!down.empty())
            trouble.push_back("stations DOWN, asked every " + RetryWords(engine) + ": " + down);
        if (!partly.empty())
            trouble.push_back("stations up with tags not good: " + partly);
    }
    head.insert(head.end(), trouble.begin(), trouble.end());
    if (!up.empty())
        head.push_back("stations up, all their tags good: " + up);

    std::vector<std::string> foot;
    for (const std::string& event : view.events)
        foot.push_back(event);

    const auto width = static_cast<size_t>(std::max(view.width - 1, 1));
    const size_t before = NAME_WIDTH + 1 + ADDRESS_WIDTH + 1;
    const size_t valueWidth = std::max(VALUE_WIDTH, width - std::min(width, before + AFTER_VALUE));
    const std::string columns = Fit("Name", NAME_WIDTH) + " " + Fit("Address", ADDRESS_WIDTH) + " " +
                                Fit("      Value     Hex", valueWidth) + "  " + Fit("Quality", 8) + " " +
                                Fit("Last good UTC", 13) + " " + Fit("Reason", 15) + " Att";
    const size_t rows = engine.Tags().size();

    const int fixed = static_cast<int>(head.size() + foot.size()) + 1;  // and the column header
    const int room = view.height - 1 - fixed;                           // the cursor's line stays free
    std::vector<std::string> lines = head;
    if (room >= 1 && static_cast<int>(rows) <= room) {
        view.page = TablePage{};
        lines.push_back(columns);
        for (size_t i = 0; i < rows; ++i)
            lines.push_back(TagRow(engine, i, valueWidth));
    } else if (room >= 2) {
        TurnPage(view.page, rows, static_cast<size_t>(room - 1), view.seconds);  // and the page line
        const size_t first = view.page.first;
        const size_t last = first + view.page.shown;
        lines.push_back(columns);
        for (size_t i = first; i < last; ++i)
            lines.push_back(TagRow(engine, i, valueWidth));
        lines.push_back("tags " + std::to_string(first + 1) + "-" + std::to_string(last) + " of " +
                        std::to_string(rows) + ", turning every " + Printf("%.0f s", PAGE_SECONDS) +
                        " (a taller terminal shows more; --csv keeps every row)");
    } else {
        lines.push_back(Plural(static_cast<long long>(rows), "tag", "tags") +
                        ": the terminal is too small for the table; --csv keeps every row");
    }
    lines.insert(lines.end(), foot.begin(), foot.end());
    return lines;
}

}  // namespace kivhost
