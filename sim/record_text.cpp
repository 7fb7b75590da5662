// Records as text, one a line, for -v and for people reading a test's output.
#include <cstdio>

#include "common/byte_text.h"
#include "sim/plc_simulator.h"
#include "wire/hex_digits.h"

namespace plcsim {

std::string Printable(std::string_view bytes)
{
    return kivhost::VisibleBytes(std::string(bytes), {});
}

std::string FormatRecord(const Record& record, std::chrono::steady_clock::time_point origin)
{
    const double seconds = std::chrono::duration<double>(record.start - origin).count();
    char head[64];
    std::snprintf(head, sizeof head, "%12.6f %s %s ", seconds,
                  record.direction == Record::Direction::Request ? "rx" : "tx",
                  record.station >= 0 ? kivhost::Hex(record.station, 2).c_str() : "--");
    std::string line = head + Printable(record.bytes);
    if (!record.faults.empty()) {
        line += " [";
        for (size_t i = 0; i < record.faults.size(); ++i) {
            if (i > 0)
                line += ",";
            line += FaultName(record.faults[i]);
        }
        line += "]";
    }
    if (!record.note.empty())
        line += " (" + record.note + ")";
    return line;
}

}  // namespace plcsim
