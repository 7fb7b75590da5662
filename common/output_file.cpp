#include "common/output_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "common/stop_signals.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kivhost {
namespace {

#if defined(_WIN32)
int OpenFd(const std::string& path, int flags)
{
    return _open(path.c_str(), flags | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}
constexpr int APPEND_FLAGS = _O_WRONLY | _O_APPEND | _O_CREAT;
constexpr int REPLACE_FLAGS = _O_WRONLY | _O_TRUNC | _O_CREAT;
long long WriteFd(int fd, const char* data, size_t size)
{
    return _write(fd, data, static_cast<unsigned>(size));
}
int CloseFd(int fd)
{
    return _close(fd);
}
#else
int OpenFd(const std::string& path, int flags)
{
    return open(path.c_str(), flags | O_CLOEXEC, 0666);
}
constexpr int APPEND_FLAGS = O_WRONLY | O_APPEND | O_CREAT;
constexpr int REPLACE_FLAGS = O_WRONLY | O_TRUNC | O_CREAT;
long long WriteFd(int fd, const char* data, size_t size)
{
    return write(fd, data, size);
}
int CloseFd(int fd)
{
    return close(fd);
}
#endif

// Whether the file at path is a regular file whose last byte is not a line
// feed; a file that cannot be read is taken as whole.
bool EndsMidLine(const std::string& path, bool* regular)
{
    struct stat info {};
    *regular = stat(path.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == S_IFREG;
    if (!*regular || info.st_size == 0)
        return false;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    const bool seeked = std::fseek(file, -1, SEEK_END) == 0;
    const int last = seeked ? std::fgetc(file) : '\n';
    std::fclose(file);
    return last != EOF && last != '\n';
}

}  // namespace

OutputFile::~OutputFile()
{
    if (owned_ && fd_ >= 0)
        CloseFd(fd_);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      owned_(std::exchange(other.owned_, false)),
      name_(std::move(other.name_)),
      error_(std::move(other.error_))
{
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept
{
    if (this != &other) {
        if (owned_ && fd_ >= 0)
            CloseFd(fd_);
        fd_ = std::exchange(other.fd_, -1);
        owned_ = std::exchange(other.owned_, false);
        name_ = std::move(other.name_);
        error_ = std::move(other.error_);
    }
    return *this;
}

OutputFile OutputFile::Append(const std::string& path, std::string name, std::string_view header, std::string* error,
                              std::string* note)
{
    bool regular = false;
    const bool midLine = EndsMidLine(path, &regular);
    struct stat info {};
    const bool empty = !regular || stat(path.c_str(), &info) != 0 || info.st_size == 0;
    OutputFile file;
    file.fd_ = OpenFd(path, APPEND_FLAGS);
    if (file.fd_ < 0) {
        *error = "cannot open " + name + " to append to: " + std::strerror(errno);
        return file;
    }
    file.owned_ = true;
    file.name_ = std::move(name);
    if (midLine) {
        *note = path + " did not end in a line feed (a run cut short?); starting on a new line";
        file.Write("\n");
    } else if (empty && !header.empty()) {
        file.Write(std::string(header) + "\n");
    }
    return file;
}

OutputFile OutputFile::Replace(const std::string& path, std::string name, std::string* error)
{
    OutputFile file;
    file.fd_ = OpenFd(path, REPLACE_FLAGS);
    if (file.fd_ < 0) {
        *error = "cannot write " + name + ": " + std::strerror(errno);
        return file;
    }
    file.owned_ = true;
    file.name_ = std::move(name);
    return file;
}

bool OutputFile::Write(std::string_view text)
{
    if (fd_ < 0 || Failed())
        return false;
    while (!text.empty()) {
        const long long written = WriteFd(fd_, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;  // a stop signal: the rest still goes out, or the piece would be torn
        if (written <= 0) {
            Fail(written < 0 ? errno : ENOSPC);
            return false;
        }
        text.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

bool OutputFile::Close()
{
    if (owned_ && fd_ >= 0 && CloseFd(fd_) != 0 && !Failed())
        Fail(errno);
    fd_ = -1;
    owned_ = false;
    return !Failed();
}

void OutputFile::Fail(int error)
{
    error_ = "cannot write " + name_ + ": " + std::strerror(error);
    RequestStop();
}

std::string CloseStream(FILE* stream, const std::string& name)
{
    errno = 0;
    const bool flushed = std::fflush(stream) == 0;
    int error = flushed ? 0 : errno;
    const bool failedBefore = std::ferror(stream) != 0;
    if (error == 0 && failedBefore) {
        // stdio keeps only that a write failed, not why: an empty write to
        // the same descriptor tells for a full device or a closed one.
#if defined(_WIN32)
        const int probe = _write(_fileno(stream), "", 0);
#else
        const ssize_t probe = write(fileno(stream), "", 0);
#endif
        error = probe < 0 ? errno : 0;
    }
    const bool closed = std::fclose(stream) == 0;
    if (!closed && error == 0)
        error = errno;
    if (flushed && closed && !failedBefore)
        return {};
    return "cannot write " + name + ": " +
           (error != 0 ? std::strerror(error) : "some of what was written to it was lost");
}

bool SameFile(const std::string& a, const std::string& b)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path left = fs::absolute(a, error).lexically_normal();
    const fs::path right = fs::absolute(b, error).lexically_normal();
    if (left == right)
        return true;
    return fs::equivalent(a, b, error) && !error;
}

}  // namespace kivhost
