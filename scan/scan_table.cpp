#include "scan_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "address_area.h"
#include "exchange_report.h"
#include "scan_messages.h"
#include "time_stamp.h"
#include "tool_text.h"

namespace kivhost {
namespace {

constexpr double PAGE_SECONDS = 3;  // how long a page of tags stays
constexpr size_t NAME_WIDTH = 16;
constexpr size_t VALUE_WIDTH = 19;  // "1011 0000 1100 0001", or "  4660  0x1234"
constexpr int BITS_PER_ROW = 16;

bool IsWordTag(const Tag& tag)
{
    return tag.address.operand == 'W' && tag.address.bit == NO_BIT;
}

// The rows of one tag in the table: its elements, words one a row in
// decimal and hex, bits sixteen a row.
void TagRows(const ScanEngine& engine, size_t index, std::vector<std::string>* rows)
{
    const Tag& tag = engine.Tags()[index];
    const TagState& state = engine.States()[index];
    const bool words = IsWordTag(tag);
    const size_t elements = state.values.size();
    const size_t perRow = words ? 1 : BITS_PER_ROW;
    const size_t count = std::max<size_t>(1, (elements + perRow - 1) / perRow);
    const std::string lastGood = state.lastGood ? UtcClockTime(*state.lastGood) : "-";
    const std::string attempts = state.attempts > 0 ? std::to_string(state.attempts) : "";
    for (size_t row = 0; row < count; ++row) {
        std::string value;
        if (elements == 0) {
            value = "-";
        } else if (words) {
            char text[32];
            std::snprintf(text, sizeof text, "%6u  0x%04X", static_cast<unsigned>(state.values[row]),
                          static_cast<unsigned>(state.values[row]));
            value = text;
        } else {
            for (size_t i = row * perRow; i < std::min(elements, (row + 1) * perRow); ++i) {
                if (i > row * perRow && i % 4 == 0)
                    value += ' ';
                value += state.values[i] ? '1' : '0';
            }
        }
        const std::string address =
            tag.address.bit != NO_BIT ? tag.text : ElementAddress(tag.address, static_cast<int>(row * perRow));
        std::string line = Fit(row == 0 ? tag.name : "", NAME_WIDTH) + " " + Fit(address, 9) + " ";
        line += words ? Fit(std::string(VALUE_WIDTH - std::min(VALUE_WIDTH, value.size()), ' ') + value, VALUE_WIDTH)
                      : Fit(value, VALUE_WIDTH);
        if (row == 0)
            line += "  " + Fit(QualityName(state.quality), 8) + " " + Fit(lastGood, 13) + " " +
                    Fit(ReasonText(state), 15) + " " + attempts;
        rows->push_back(line);
    }
}

}  // namespace

std::vector<std::string> TableLines(const ScanEngine& engine, const TableView& view)
{
    const size_t width = static_cast<size_t>(std::max(view.width - 1, 20));  // the last column would wrap
    const CycleStats& cycle = engine.Cycle();
    std::vector<std::string> head;
    head.push_back(view.title);
    head.push_back("cycle " + std::to_string(cycle.number) + ": " + Printf("%.1f ms", cycle.ms) + " (average " +
                   Printf("%.1f", engine.AverageMs()) + ", max " + Printf("%.1f", engine.MaxMs()) + "), " +
                   Plural(cycle.exchanges, "exchange", "exchanges") + " for " +
                   Plural(static_cast<long long>(engine.Tags().size()), "tag", "tags") + ", " +
                   std::to_string(cycle.failures) + " failed (" + std::to_string(engine.Failures()) + " of " +
                   std::to_string(engine.Exchanges()) + " in all)");

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
    for (size_t s = 0; s < engine.Stations().size(); ++s) {
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

    std::vector<std::string> rows;
    for (size_t i = 0; i < engine.Tags().size(); ++i)
        TagRows(engine, i, &rows);
    const std::string columns = Fit("Name", NAME_WIDTH) + " " + Fit("Address", 9) + " " +
                                Fit("      Value     Hex", VALUE_WIDTH) + "  " + Fit("Quality", 8) + " " +
                                Fit("Last good UTC", 13) + " " + Fit("Reason", 15) + " Att";

    const int fixed = static_cast<int>(head.size() + foot.size()) + 1;  // and the column header
    const int room = view.height - 1 - fixed;                           // the cursor's line stays free
    std::vector<std::string> lines = head;
    if (room >= 1 && static_cast<int>(rows.size()) <= room) {
        lines.push_back(columns);
        lines.insert(lines.end(), rows.begin(), rows.end());
    } else if (room >= 2) {
        const size_t perPage = static_cast<size_t>(room - 1);  // and the page line
        const size_t pages = (rows.size() + perPage - 1) / perPage;
        const size_t page = static_cast<size_t>(std::floor(view.seconds / PAGE_SECONDS)) % pages;
        const size_t first = page * perPage;
        const size_t last = std::min(rows.size(), first + perPage);
        lines.push_back(columns);
        lines.insert(lines.end(), rows.begin() + static_cast<long>(first), rows.begin() + static_cast<long>(last));
        lines.push_back("rows " + std::to_string(first + 1) + "-" + std::to_string(last) + " of " +
                        std::to_string(rows.size()) + ", page " + std::to_string(page + 1) + " of " +
                        std::to_string(pages) + ", turning every " + Printf("%.0f s", PAGE_SECONDS) +
                        " (a taller terminal shows more; --csv keeps every row)");
    } else {
        lines.push_back(Plural(static_cast<long long>(engine.Tags().size()), "tag", "tags") +
                        ": the terminal is too small for the table; --csv keeps every row");
    }
    lines.insert(lines.end(), foot.begin(), foot.end());
    for (std::string& line : lines)
        line = Fit(line, width);
    return lines;
}

std::string Fit(std::string_view utf8, size_t width)
{
    std::string out;
    size_t points = 0;
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if ((byte & 0xC0) != 0x80) {
            if (points == width)
                break;
            ++points;
        }
        out += utf8[i];
    }
    if (points < width)
        out.append(width - points, ' ');
    return out;
}

}  // namespace kivhost
