#include "sim/line_mirror.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "sim/line_link.h"
#include "sim/line_port.h"
#include "sim/posix_fd.h"

namespace plcsim {

// No hold on the mirror's slave: its master then reports a hang-up while
// nobody listens, and nothing piles up for a reader that comes later.
void LineMirror::Open(const kivhost::TtyLine& line)
{
    if (link_.empty())
        return;
    std::string path;
    const int master = OpenPseudoTerminal(line, path, nullptr);
    {
        std::lock_guard lock(mutex_);
        fd_ = master;
        path_ = path;
    }
    MakeLink(link_, path);
}

void LineMirror::Close()
{
    RemoveLink(link_, path_);
    std::lock_guard lock(mutex_);
    CloseFd(fd_);
}

std::string LineMirror::Path() const
{
    std::lock_guard lock(mutex_);
    return fd_ >= 0 ? path_ : "";
}

void LineMirror::Copy(std::string_view bytes)
{
    if (fd_ < 0 || bytes.empty())
        return;
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, 0) < 0)
        return;
    if (p.revents & POLLHUP) {
        // Nobody has it open. What a reader left unread would reach the
        // next one as if it were new: away with it.
        if (unread_) {
            const int slave = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (slave >= 0) {
                tcflush(slave, TCIFLUSH);
                close(slave);
            }
            unread_ = false;
        }
        return;
    }
    // A listener has nothing to say; whatever it writes would only fill
    // the master's queue.
    char discard[256];
    while (read(fd_, discard, sizeof discard) > 0) {
    }
    const ssize_t n = write(fd_, bytes.data(), bytes.size());
    const size_t written = n > 0 ? static_cast<size_t>(n) : 0;
    unread_ = unread_ || written > 0;
    if (written < bytes.size())
        dropped_ += bytes.size() - written;
}

}  // namespace plcsim
