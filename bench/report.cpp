#include "bench/report.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <ctime>
#include <fstream>
#include <thread>

namespace kivbench {

namespace {

FILE* out = stdout;

int met = 0;
int missed = 0;
std::vector<std::string> missedNames;

size_t DisplayWidth(const std::string& text)
{
    size_t width = 0;
    for (unsigned char c : text)
        width += (c & 0xC0) != 0x80;  // count UTF-8 lead bytes only
    return width;
}

}  // namespace

void SetReportStream(FILE* stream)
{
    out = stream;
}

std::string Format(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string Grouped(double value)
{
    const long long n = std::llround(value);
    std::string digits = std::to_string(n < 0 ? -n : n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<size_t>(at), ",");
    return (n < 0 ? "-" : "") + digits;
}

std::string Us(double seconds)
{
    return Format("%.1f", seconds * 1e6);
}

std::string Failed(uint64_t failures)
{
    return failures ? Format(" (%llu failed)", static_cast<unsigned long long>(failures)) : "";
}

void Table::Row(std::vector<std::string> cells)
{
    cells.resize(rows_[0].size());
    rows_.push_back(std::move(cells));
}

void Table::Print() const
{
    std::vector<size_t> widths(rows_[0].size(), 3);
    for (const auto& row : rows_)
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], DisplayWidth(row[i]));
    for (size_t r = 0; r < rows_.size(); ++r) {
        std::string line = "|";
        for (size_t i = 0; i < rows_[r].size(); ++i)
            line += " " + rows_[r][i] + std::string(widths[i] - DisplayWidth(rows_[r][i]), ' ') + " |";
        std::fprintf(out, "%s\n", line.c_str());
        if (r == 0) {
            line = "|";
            for (size_t w : widths)
                line += std::string(w + 2, '-') + "|";
            std::fprintf(out, "%s\n", line.c_str());
        }
    }
    std::fprintf(out, "\n");
    std::fflush(out);
}

std::string Verdict(bool ok, const std::string& what)
{
    if (ok) {
        ++met;
        return "PASS";
    }
    ++missed;
    missedNames.push_back(what);
    return "MISS";
}

void PrintHeader(bool quick)
{
    char date[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S %Z", std::localtime(&now));
    std::string load = "?";
    std::ifstream loadavg("/proc/loadavg");
    std::getline(loadavg, load);
    load = load.substr(0, load.find(' ', load.find(' ', load.find(' ') + 1) + 1));
    std::fprintf(out, "%s\n\n",
                 Format("kivbench%s: %s, %u cores, load average %s", quick ? " --quick" : "", date,
                        std::thread::hardware_concurrency(), load.c_str())
                     .c_str());
    std::fflush(out);
}

void PrintHeading(const char* title)
{
    std::fprintf(out, "### %s\n\n", title);
    std::fflush(out);
}

void PrintParagraph(const std::string& text)
{
    std::fprintf(out, "%s\n\n", text.c_str());
}

void PrintSummary()
{
    std::fprintf(out, "targets met: %d, missed: %d\n", met, missed);
    for (const std::string& name : missedNames)
        std::fprintf(out, "  missed: %s\n", name.c_str());
    std::fflush(out);
}

}  // namespace kivbench
