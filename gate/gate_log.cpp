#include "gate/gate_log.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "common/time_stamp.h"
#include "common/tool_text.h"

namespace kivgate {
namespace {

constexpr const char* CLEAR_LINE = "\r\033[K";

}  // namespace

Logger::Logger() : shared_(std::make_shared<Shared>())
{
    shared_->terminal = isatty(2) != 0;
}

Logger::Logger(std::function<void(const std::string&)> sink) : shared_(std::make_shared<Shared>())
{
    shared_->sink = std::move(sink);
}

void Logger::Write(Shared& shared, const std::string& text)
{
    // Names and messages come from tag files and clients: nothing in them acts on a terminal.
    const std::string line = kivhost::UtcTimestamp() + " " + kivhost::Printable(text);
    if (shared.sink) {
        shared.sink(line);
        return;
    }
    // A standard error whose reader has gone fails here (SIGPIPE is ignored):
    // the service goes on without its log.
    if (shared.terminal && !shared.status.empty())
        std::fprintf(stderr, "%s%s\n%s", CLEAR_LINE, line.c_str(), shared.status.c_str());
    else
        std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

void Logger::Log(LogLevel level, const std::string& event) const
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (level > shared_->level)
        return;
    for (const std::string& text : shared_->repeats.Admit(event, LogRepeats::Clock::now()))
        Write(*shared_, text);
}

void Logger::SetLevel(LogLevel level) const
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->level = level;
}

void Logger::Status(const std::string& line) const
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->sink || !shared_->terminal)
        return;
    winsize size{};
    const size_t columns = ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col : 80;
    // One column short of the width: a line that fills it wraps on some terminals.
    shared_->status = CutToWidth(kivhost::Printable(line), columns - 1);
    std::fprintf(stderr, "%s%s", CLEAR_LINE, shared_->status.c_str());
    std::fflush(stderr);
}

void Logger::EndStatus() const
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (!shared_->status.empty() && !shared_->sink) {
        shared_->status.clear();
        std::fprintf(stderr, "%s", CLEAR_LINE);
        std::fflush(stderr);
    }
    for (const std::string& text : shared_->repeats.Flush())
        Write(*shared_, text);
}

}  // namespace kivgate
