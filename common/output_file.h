// The files kivhost writes (the logs, the trace file) and the check of a
// stream (standard output) at the end. A write goes out whole, in one
// write(2) call (again only for what a partial write left over), so a run
// killed between writes leaves whole pieces. The first failure is kept,
// named after the output, and asks the run to stop as a Ctrl-C does: the
// run then ends saying so, with a failure status.
#ifndef DAVODEV_KIVHOST_OUTPUT_FILE_H
#define DAVODEV_KIVHOST_OUTPUT_FILE_H

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

namespace kivhost {

class OutputFile {
public:
    OutputFile() = default;  // none: nothing to write to
    // A descriptor kivhost did not open (standard error): never closed here.
    OutputFile(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
    ~OutputFile();
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&& other) noexcept;

    // To append to, created if missing. Into an empty file (or one that is
    // not a regular file: a pipe, a device) the header first, if any; after
    // a file whose last line has no line feed (a run cut short) a line feed,
    // and *note says so. Not open, with why in *error, when it cannot be
    // opened; open but Failed when the header or line feed cannot be written.
    static OutputFile Append(const std::string& path, std::string name, std::string_view header, std::string* error,
                             std::string* note);
    // Emptied, or created.
    static OutputFile Replace(const std::string& path, std::string name, std::string* error);

    bool IsOpen() const { return fd_ >= 0; }
    // The text whole; false once this output has failed (later writes are
    // skipped: a file with a hole in it would be worse than a short one).
    bool Write(std::string_view text);
    // Closes what was opened here; false if it or any write failed.
    bool Close();
    bool Failed() const { return !error_.empty(); }
    // "cannot write the CSV log scan.csv: No space left on device"
    const std::string& Error() const { return error_; }

private:
    void Fail(int error);

    int fd_ = -1;
    bool owned_ = false;
    std::string name_;  // "the CSV log scan.csv"
    std::string error_;
};

// A stream written with stdio (standard output, kivhost's results) flushed,
// checked and closed: "" if everything written to it went out, else the
// failure naming it ("cannot write standard output: ...").
std::string CloseStream(FILE* stream, const std::string& name);

// Whether two paths name one file: the same path once made absolute, or,
// when both exist, the same file (a link, another spelling).
bool SameFile(const std::string& a, const std::string& b);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_OUTPUT_FILE_H
