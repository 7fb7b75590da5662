// CSV as the tools write their logs for scripts: a field, a row.
#ifndef DAVODEV_TOOLS_CSV_FIELD_H
#define DAVODEV_TOOLS_CSV_FIELD_H

#include <string>
#include <string_view>
#include <vector>

namespace kivhost {

// The text as it is, or in double quotes (a quote doubled) where a reader
// would otherwise split or lose it: a comma, a quote, a CR or LF, or a
// space at either end (some readers trim those).
std::string CsvField(std::string_view text);
// The fields so written, separated by commas (no line end).
std::string CsvLine(const std::vector<std::string>& fields);

}  // namespace kivhost

#endif  // DAVODEV_TOOLS_CSV_FIELD_H
