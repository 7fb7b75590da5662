#include "bench/bench_line.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <system_error>

#include "wire/pcon_frame.h"

namespace kivbench {

std::string Framed(const std::string& body)
{
    unsigned sum = 0;
    for (char c : body)
        sum += static_cast<unsigned char>(c);
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", sum & 0xFF);
    return "/" + body + digits + "\r";
}

Pty::Pty()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        throw std::system_error(errno, std::generic_category(), "posix_openpt");
    char name[64];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
        const int error = errno;
        close(master_);
        throw std::system_error(error, std::generic_category(), "pseudo-terminal slave");
    }
    slavePath_ = name;
}

Pty::~Pty()
{
    if (master_ >= 0)
        close(master_);
}

Responder::Responder(int lines, std::string reply, std::chrono::microseconds turnaround)
    : Responder(std::vector<LineAnswer>(static_cast<size_t>(lines), LineAnswer{std::move(reply)}), turnaround)
{
}

Responder::Responder(std::vector<LineAnswer> answers, std::chrono::microseconds turnaround)
    : answers_(std::move(answers)), pending_(answers_.size(), 0), turnaround_(turnaround)
{
    for (size_t i = 0; i < answers_.size(); ++i)
        lines_.push_back(std::make_unique<Pty>());
}

Responder::~Responder()
{
    // Still serving means a client kept its side open (a failed run): leave
    // the thread to the process's end rather than close the lines under it.
    if (thread_.joinable()) {
        thread_.detach();
        for (auto& line : lines_)
            line.release();
    }
}

void Responder::Start()
{
    thread_ = std::thread([this] { Serve(); });
}

void Responder::Join()
{
    if (thread_.joinable())
        thread_.join();
}

void Responder::Serve()
{
    std::vector<pollfd> fds;
    for (const auto& line : lines_)
        fds.push_back(pollfd{line->Master(), POLLIN, 0});
    char buffer[4096];
    size_t open = fds.size();
    while (open > 0) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (size_t line = 0; line < fds.size(); ++line) {
            pollfd& p = fds[line];
            if (p.fd < 0 || p.revents == 0)
                continue;
            const ssize_t n = read(p.fd, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            // EIO: the client has closed its side; the line is done.
            if (n <= 0 || !Answer(line, buffer, n)) {
                p.fd = -1;
                --open;
            }
        }
    }
}

bool Responder::Answer(size_t line, const char* bytes, ssize_t n)
{
    const LineAnswer& answer = answers_[line];
    if (answer.reply.empty())
        return true;
    const int master = lines_[line]->Master();
    for (ssize_t i = 0; i < n; ++i) {
        if (answer.requestLength == 0) {
            if (bytes[i] == '\r' && !Reply(master, answer.reply))
                return false;
        } else if (++pending_[line] == answer.requestLength) {
            pending_[line] = 0;
            if (!Reply(master, answer.reply))
                return false;
        }
    }
    return true;
}

bool Responder::Reply(int master, const std::string& reply)
{
    if (turnaround_.count() > 0) {
        const timespec pause{static_cast<time_t>(turnaround_.count() / 1000000),
                             static_cast<long>(turnaround_.count() % 1000000) * 1000};
        clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
    }
    size_t done = 0;
    while (done < reply.size()) {
        const ssize_t w = write(master, reply.data() + done, reply.size() - done);
        if (w > 0)
            done += static_cast<size_t>(w);
        else if (!(w < 0 && errno == EINTR))
            return false;
    }
    return true;
}

FloorClient::~FloorClient()
{
    Close();
}

bool FloorClient::Open(const std::string& slavePath)
{
    Close();
    fd_ = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0)
        return false;
    termios t{};
    if (tcgetattr(fd_, &t) != 0) {
        Close();
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd_, TCSANOW, &t) != 0) {
        Close();
        return false;
    }
    return true;
}

void FloorClient::Close()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

bool FloorClient::Exchange(const std::string& frame, uint8_t* reply, size_t header, size_t rest, int timeoutMs)
{
    // The flush's input check: a zero-time poll, which shows input and a
    // hang-up alike; the count only when it shows input.
    pollfd check{fd_, POLLIN, 0};
    if (poll(&check, 1, 0) < 0)
        check.revents = POLLIN;  // no answer: the count decides
    if (check.revents & POLLIN) {
        int waiting = 0;
        if (ioctl(fd_, FIONREAD, &waiting) != 0)
            return false;
        uint8_t scratch[512];
        while (waiting > 0 && read(fd_, scratch, sizeof scratch) == static_cast<ssize_t>(sizeof scratch)) {
        }
    }
    inputSeenEmpty_ = true;

    size_t done = 0;
    while (done < frame.size()) {
        const ssize_t w = write(fd_, frame.data() + done, frame.size() - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno == EAGAIN) {
            pollfd p{fd_, POLLOUT, 0};
            if (poll(&p, 1, timeoutMs) > 0)
                continue;
        }
        return false;
    }
    return ReadFull(reply, header, timeoutMs) && ReadFull(reply + header, rest, timeoutMs);
}

bool FloorClient::ReadFull(uint8_t* buffer, size_t want, int timeoutMs)
{
    // Where the input was just seen empty a read would only say so again:
    // wait first, then read.
    bool waitFirst = inputSeenEmpty_;
    size_t have = 0;
    while (have < want) {
        if (waitFirst) {
            pollfd p{fd_, POLLIN, 0};
            const int ready = poll(&p, 1, timeoutMs);
            if (ready == 0 || (ready < 0 && errno != EINTR))
                return false;
        }
        const ssize_t r = read(fd_, buffer + have, want - have);
        if (r > 0) {
            have += static_cast<size_t>(r);
            waitFirst = true;  // it took all there was
            continue;
        }
        if (r == 0 || (errno != EAGAIN && errno != EINTR))
            return false;
        waitFirst = errno == EAGAIN;
    }
    inputSeenEmpty_ = false;  // it got all it asked for: more may be waiting
    return true;
}

plcsim::Fault RequestTime(int baud)
{
    plcsim::Fault delay;
    delay.kind = plcsim::FaultKind::Delay;
    delay.value = static_cast<int>(std::lround(kivhost::READ_REQUEST_BYTES * 10.0 * 1000.0 / baud));
    return delay;
}

}  // namespace kivbench
