#include "bench/callgrind_dump.h"

#include <cstdlib>
#include <fstream>
#include <map>

namespace kivbench {

// Each "calls=" line is followed by a cost line whose last number is the
// inclusive cost of those calls.
CallgrindDump ReadCallgrindDump(const std::string& path)
{
    CallgrindDump dump;
    std::ifstream file(path);
    std::map<std::string, std::string> names;  // "(id)" -> function name
    std::string callee;
    std::string line;
    bool costOfErr = false;
    const std::string trigger = "desc: Trigger: Client Request: ";
    while (std::getline(file, line)) {
        if (costOfErr) {
            dump.inErr += std::strtod(line.c_str() + line.rfind(' ') + 1, nullptr);
            costOfErr = false;
        } else if (line.rfind("fn=", 0) == 0 || line.rfind("cfn=", 0) == 0) {
            const std::string function = line.substr(line.find('=') + 1);
            const size_t space = function.find(' ');
            const std::string id = function.substr(0, space);
            if (space != std::string::npos)
                names[id] = function.substr(space + 1);
            if (line[0] == 'c')
                callee = names[id];
        } else if (line.rfind("calls=", 0) == 0) {
            costOfErr = callee == "err";
        } else if (line.rfind(trigger, 0) == 0) {
            dump.name = line.substr(trigger.size());
        } else if (line.rfind("totals: ", 0) == 0 || (dump.total < 0 && line.rfind("summary: ", 0) == 0)) {
            dump.total = std::strtod(line.c_str() + line.find(' ') + 1, nullptr);
        }
    }
    return dump;
}

}  // namespace kivbench
