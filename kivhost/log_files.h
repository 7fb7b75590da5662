// The files kivhost writes its logs into (scan's --csv and --jsonl, the
// monitor's, the trace file) and reads a trace from: closed when done with.
#ifndef DAVODEV_KIVHOST_LOG_FILES_H
#define DAVODEV_KIVHOST_LOG_FILES_H

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace kivhost {

struct FileCloser {
    void operator()(FILE* file) const;  // never standard input
};
using File = std::unique_ptr<FILE, FileCloser>;

// To append to; a header, if any, first into an empty file. Empty, with why
// in error, when it cannot be opened.
File OpenLog(const std::string& path, std::string_view header, std::string* error);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_LOG_FILES_H
