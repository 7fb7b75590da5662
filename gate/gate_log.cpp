#include "gate_log.h"

#include <unistd.h>

#include <cstdio>

#include "time_stamp.h"
#include "tool_text.h"

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

void Logger::operator()(const std::string& event) const
{
    // Names and messages come from tag files and clients: nothing in them acts on a terminal.
    const std::string line = kivhost::UtcTimestamp() + " " + kivhost::Printable(event);
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->sink) {
        shared_->sink(line);
        return;
    }
    if (shared_->terminal && !shared_->status.empty())
        std::fprintf(stderr, "%s%s\n%s", CLEAR_LINE, line.c_str(), shared_->status.c_str());
    else
        std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

void Logger::Status(const std::string& line) const
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->sink || !shared_->terminal)
        return;
    shared_->status = kivhost::Printable(line);
    std::fprintf(stderr, "%s%s", CLEAR_LINE, shared_->status.c_str());
    std::fflush(stderr);
}

void Logger::EndStatus() const
{
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->status.empty())
        return;
    shared_->status.clear();
    std::fprintf(stderr, "%s", CLEAR_LINE);
    std::fflush(stderr);
}

}  // namespace kivgate
