// The files kivhost writes its logs into (scan's --csv and --jsonl, the
// monitor's) and reads a trace from: closed when done with.
#ifndef DAVODEV_KIVHOST_LOG_FILES_H
#define DAVODEV_KIVHOST_LOG_FILES_H

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "common/output_file.h"

namespace kivhost {

struct FileCloser {
    void operator()(FILE* file) const;  // never standard input
};
using File = std::unique_ptr<FILE, FileCloser>;

// A log to append to, as OutputFile::Append opens it (the header into an
// empty file, a line feed after a torn last line, said on standard error);
// name says what it is ("the CSV log"). EXIT_DONE, or the status to leave
// with, complained of: the command line's when it cannot be opened, a
// failure when it cannot be written.
int OpenLog(const std::string& path, const std::string& name, std::string_view header, OutputFile* file);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_LOG_FILES_H
