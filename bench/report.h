// The benchmark's report: Markdown tables on the terminal, the verdicts
// against the targets, and the summary line that counts them.
#ifndef DAVODEV_KIVBENCH_REPORT_H
#define DAVODEV_KIVBENCH_REPORT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kivbench {

// Where the report goes: the terminal, once descriptor 1 carries the
// driver's traces away. Standard output until set.
void SetReportStream(FILE* stream);

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Thousands separated by commas, for rates and instruction counts.
std::string Grouped(double value);
// Microseconds, one decimal, from seconds.
std::string Us(double seconds);
// " (N failed)", or nothing when none did.
std::string Failed(uint64_t failures);

// A Markdown table with padded columns: readable in a terminal and ready to
// paste into a README.
class Table {
public:
    explicit Table(std::vector<std::string> header) : rows_{std::move(header)} {}
    void Row(std::vector<std::string> cells);
    void Print() const;

private:
    std::vector<std::vector<std::string>> rows_;
};

// "PASS" or "MISS", counted for the summary; a miss is listed there by what.
std::string Verdict(bool ok, const std::string& what);

// The first line: the mode, the date, the cores and the load.
void PrintHeader(bool quick);
// "### title".
void PrintHeading(const char* title);
void PrintParagraph(const std::string& text);
// The targets met and missed, and which were missed.
void PrintSummary();

}  // namespace kivbench

#endif  // DAVODEV_KIVBENCH_REPORT_H
