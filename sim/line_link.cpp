#include "line_link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "plc_simulator.h"
#include "posix_fd.h"

namespace plcsim {

std::string LinkRefusal(const std::string& path)
{
    if (path.empty())
        return "a link needs a path";
    struct stat info {};
    if (lstat(path.c_str(), &info) == 0) {
        if (S_ISLNK(info.st_mode))
            return "";
        const char* what = S_ISREG(info.st_mode)    ? "a regular file"
                           : S_ISDIR(info.st_mode)  ? "a directory"
                           : S_ISCHR(info.st_mode)  ? "a character device"
                           : S_ISBLK(info.st_mode)  ? "a block device"
                           : S_ISFIFO(info.st_mode) ? "a FIFO"
                                                    : "a socket";
        return path + " is " + what + ", not a symbolic link: only a link is replaced; choose another path";
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
    const std::string refusal = LinkRefusal(link);
    if (!refusal.empty())
        throw std::system_error(std::make_error_code(std::errc::file_exists), refusal);
    if (symlink(target.c_str(), link.c_str()) == 0)
        return;
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
}

void RemoveLink(const std::string& link, const std::string& target)
{
    if (link.empty() || target.empty())
        return;
    char pointsTo[256];
    const ssize_t n = readlink(link.c_str(), pointsTo, sizeof pointsTo - 1);
    if (n < 0)
        return;
    pointsTo[n] = '\0';
    if (target == pointsTo)
        unlink(link.c_str());
}

}  // namespace plcsim
