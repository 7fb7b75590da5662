#include "sim/line_link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim/plc_simulator.h"
#include "sim/posix_fd.h"

namespace plcsim {

namespace {

// The links made and not yet removed, in a form a crashing process can still
// read: fixed buffers, and a state per slot instead of a lock. A link that
// finds no free slot is still made, only not cleaned up after a crash.
struct MadeLink {
    enum State { FREE, BUSY, MADE };
    std::atomic<int> state{FREE};
    char link[512];
    char target[128];
};
MadeLink madeLinks[8];

void NoteMade(const std::string& link, const std::string& target)
{
    if (link.size() >= sizeof madeLinks[0].link || target.size() >= sizeof madeLinks[0].target)
        return;
    for (MadeLink& slot : madeLinks) {
        int expected = MadeLink::FREE;
        if (!slot.state.compare_exchange_strong(expected, MadeLink::BUSY))
            continue;
        std::memcpy(slot.link, link.c_str(), link.size() + 1);
        std::memcpy(slot.target, target.c_str(), target.size() + 1);
        slot.state = MadeLink::MADE;
        return;
    }
}

void NoteRemoved(const std::string& link, const std::string& target)
{
    for (MadeLink& slot : madeLinks) {
        int expected = MadeLink::MADE;
        if (!slot.state.compare_exchange_strong(expected, MadeLink::BUSY))
            continue;
        const bool same = link == slot.link && target == slot.target;
        slot.state = same ? MadeLink::FREE : MadeLink::MADE;
        if (same)
            return;
    }
}

// What the link at path points at, or "" when it is no link.
std::string LinkTarget(const std::string& path)
{
    char pointsTo[256];
    const ssize_t n = readlink(path.c_str(), pointsTo, sizeof pointsTo);
    return n > 0 && static_cast<size_t>(n) < sizeof pointsTo ? std::string(pointsTo, static_cast<size_t>(n)) : "";
}

const char* KindOf(mode_t mode)
{
    return S_ISREG(mode)    ? "a regular file"
           : S_ISDIR(mode)  ? "a directory"
           : S_ISCHR(mode)  ? "a character device"
           : S_ISBLK(mode)  ? "a block device"
           : S_ISFIFO(mode) ? "a FIFO"
                            : "a socket";
}

// Why an existing symbolic link may not be replaced, or "". A line plcsim
// made goes with it: the pseudo-terminal's /dev/pts/N disappears once its
// master is closed, so a link left by a plcsim that was killed dangles.
// A link whose target exists is someone else's: a running plcsim's line,
// or a terminal that took the number since, where a host would write its
// requests into someone's shell.
std::string LiveLinkRefusal(const std::string& path)
{
    struct stat target {};
    if (stat(path.c_str(), &target) != 0) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
            return "";
        return path + ": cannot tell what the link points at: " + std::strerror(errno);
    }
    const std::string pointsTo = LinkTarget(path);
    const bool terminal = S_ISCHR(target.st_mode) && pointsTo.starts_with("/dev/pts/");
    return path + " is a link to " + pointsTo + ", which exists (" +
           (terminal ? "a terminal" : KindOf(target.st_mode)) +
           "): only a dangling link, left by a plcsim that is gone, is replaced; remove it if it is yours, or choose "
           "another path";
}

}  // namespace

std::string LinkRefusal(const std::string& path)
{
    if (path.empty())
        return "a link needs a path";
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
        if (S_ISLNK(info.st_mode))
            return LiveLinkRefusal(path);
        return path + " is " + KindOf(info.st_mode) +
               ", not a symbolic link: only a link is replaced; choose another path";
    }
    if (errno != ENOENT)
        return path + ": " + std::strerror(errno);
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return path + ": the folder " + folder + " does not exist";
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        return path + ": no permission to make a link in " + folder;
    return "";
}

void MakeLink(const std::string& link, const std::string& target)
{
    if (!target.empty() && LinkTarget(link) == target) {
        NoteMade(link, target);  // ours already
        return;
    }
    const std::string refusal = LinkRefusal(link);
    if (!refusal.empty())
        throw std::system_error(std::make_error_code(std::errc::file_exists), refusal);
    if (symlink(target.c_str(), link.c_str()) == 0) {
        NoteMade(link, target);
        return;
    }
    if (errno != EEXIST)
        throw SystemError("link " + link);
    const std::string temporary = link + ".plcsim-" + std::to_string(getpid());
    struct stat info {};
    if (lstat(temporary.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
        unlink(temporary.c_str());  // left by an earlier process of this number
    if (symlink(target.c_str(), temporary.c_str()) != 0)
        throw SystemError("link " + temporary);
    if (rename(temporary.c_str(), link.c_str()) != 0) {
        const auto error = SystemError("link " + link);
        unlink(temporary.c_str());
        throw error;
    }
    NoteMade(link, target);
}

void RemoveLink(const std::string& link, const std::string& target)
{
    if (link.empty() || target.empty())
        return;
    NoteRemoved(link, target);
    if (LinkTarget(link) == target)
        unlink(link.c_str());
}

void RemoveLinksOnCrash()
{
    for (MadeLink& slot : madeLinks) {
        if (slot.state != MadeLink::MADE)
            continue;
        char pointsTo[sizeof slot.target];
        const ssize_t n = readlink(slot.link, pointsTo, sizeof pointsTo - 1);
        if (n <= 0)
            continue;
        pointsTo[n] = '\0';
        if (std::strcmp(pointsTo, slot.target) == 0)
            unlink(slot.link);
    }
}

}  // namespace plcsim
