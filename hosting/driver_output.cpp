#include "hosting/driver_output.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/output_file.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kivhost {
namespace {

#if defined(_WIN32)
int OpenScratch()
{
    char folder[MAX_PATH];
    char path[MAX_PATH];
    if (GetTempPathA(sizeof folder, folder) == 0 || GetTempFileNameA(folder, "kiv", 0, path) == 0)
        return -1;
    // Gone when the last descriptor closes, at the latest when we exit.
    return _open(path, _O_RDWR | _O_BINARY | _O_TEMPORARY);
}

int DupFd(int fd)
{
    return _dup(fd);
}

std::string TakeScratch(int fd)
{
    std::string text;
    const long size = _lseek(fd, 0, SEEK_END);
    if (size > 0 && _lseek(fd, 0, SEEK_SET) == 0) {
        text.resize(static_cast<size_t>(size));
        const int n = _read(fd, text.data(), static_cast<unsigned>(size));
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    _chsize(fd, 0);
    _lseek(fd, 0, SEEK_SET);  // descriptor 1 shares this position
    return text;
}
#else
int OpenScratch()
{
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder != nullptr && folder[0] != '\0' ? folder : "/tmp") + "/kivhost-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd >= 0)
        unlink(path.c_str());
    return fd;
}

int DupFd(int fd)
{
    return fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

std::string TakeScratch(int fd)
{
    std::string text;
    const off_t size = lseek(fd, 0, SEEK_END);
    if (size > 0) {
        text.resize(static_cast<size_t>(size));
        const ssize_t n = pread(fd, text.data(), text.size(), 0);
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    if (ftruncate(fd, 0) != 0) {
        // Left as it is: the next collection reads the same bytes again at worst.
    }
    lseek(fd, 0, SEEK_SET);  // descriptor 1 shares this position
    return text;
}
#endif

}  // namespace

DriverOutput::~DriverOutput()
{
    if (results_ != nullptr)
        std::fflush(results_);
}

bool DriverOutput::Start(std::string* error)
{
    std::fflush(stdout);
    const int original = DupFd(1);
    scratch_ = OpenScratch();
    if (original < 0 || scratch_ < 0 || dup2(scratch_, 1) < 0) {
        *error = "cannot set standard output aside for the driver's traces: " + std::string(std::strerror(errno));
        return false;
    }
#if defined(_WIN32)
    // The driver's lines are read back byte for byte: no CR added.
    _setmode(1, _O_BINARY);
#endif
    results_ = fdopen(original, "w");
    if (results_ == nullptr) {
        *error = "cannot open standard output: " + std::string(std::strerror(errno));
        return false;
    }
#if defined(_WIN32)
    if (isatty(original) != 0)
        SetConsoleOutputCP(CP_UTF8);  // the banner and the log lines are shown as UTF-8
#endif
    return true;
}

std::string DriverOutput::CloseResults()
{
    if (results_ == nullptr)
        return {};
    FILE* results = results_;
    results_ = nullptr;
    return CloseStream(results, "standard output");
}

bool DriverOutput::ResultsOnTerminal() const
{
    return results_ != nullptr && isatty(fileno(results_)) != 0;
}

std::string DriverOutput::Collect()
{
    std::fflush(stdout);
    if (scratch_ < 0)
        return {};
    std::string text = TakeScratch(scratch_);
    if (view_ != nullptr && !text.empty()) {
        std::fflush(results_);  // what was printed before comes first on a shared terminal
        view_->Driver(text);
    }
    return text;
}

void DriverOutput::ShowLog(int32_t level, const char* text)
{
    if (view_ == nullptr)
        return;
    std::fflush(results_);
    view_->Log(level, text);
}

void DriverOutput::CallEnded()
{
    if (view_ != nullptr)
        view_->CallEnded();
}

}  // namespace kivhost
