// Linux: the device the driver would open, looked at with stat, access and
// the open descriptors in /proc.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "hosting/port_access.h"
#include "hosting/port_check.h"
#include "serial/serial_posix_name.h"

namespace kivhost {
namespace {

constexpr size_t DEVICES_NAMED = 6;

// The path the driver opens for a port name.
std::string DevicePath(const std::string& name)
{
    char path[PATH_MAX];
    if (!kiv::PosixDevicePath(name.c_str(), path, sizeof path))
        return {};
    return path;
}

std::string Lead(const std::string& name, const std::string& path)
{
    return "cannot open port \"" + name + "\"" + (path != name ? " (" + path + ")" : "") + ": ";
}

std::vector<std::string> Entries(const std::string& folder, const std::vector<std::string>& prefixes)
{
    std::vector<std::string> found;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return found;
    while (const dirent* entry = readdir(dir)) {
        const std::string file = entry->d_name;
        if (file == "." || file == "..")
            continue;
        for (const std::string& prefix : prefixes)
            if (file.starts_with(prefix)) {
                found.push_back(folder + "/" + file);
                break;
            }
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    return found;
}

// Serial adapters that are there, for a user who named one that is not.
std::string AdaptersHere()
{
    std::vector<std::string> found = Entries("/dev", {"ttyUSB", "ttyACM"});
    const std::vector<std::string> byId = Entries("/dev/serial/by-id", {""});
    found.insert(found.end(), byId.begin(), byId.end());
    if (found.empty())
        return "no USB serial adapter is plugged in (no /dev/ttyUSB*, /dev/ttyACM*); the built-in ports are /dev/ttyS0 "
               "(COM1), /dev/ttyS1 (COM2), ...";
    std::string list;
    for (size_t i = 0; i < found.size() && i < DEVICES_NAMED; ++i)
        list += (i > 0 ? ", " : "") + found[i];
    if (found.size() > DEVICES_NAMED)
        list += ", ...";
    return "serial adapters here: " + list;
}

std::string CommandOf(long pid)
{
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string command;
    std::getline(comm, command);
    return command.empty() ? "?" : command;
}

// Processes other than this one with the device open, as far as /proc lets
// this user see: others' descriptors stay hidden to all but root.
std::vector<long> OpenIn(dev_t device)
{
    std::vector<long> pids;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return pids;
    const long self = static_cast<long>(getpid());
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self)
            continue;
        const std::string fdFolder = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = opendir(fdFolder.c_str());
        if (fds == nullptr)
            continue;
        while (const dirent* fd = readdir(fds)) {
            struct stat st {};
            if (fd->d_name[0] != '.' && stat((fdFolder + "/" + fd->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
                st.st_rdev == device) {
                pids.push_back(pid);
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    std::sort(pids.begin(), pids.end());
    return pids;
}

// Processes other than this one that hold a lock on the file (flock or
// fcntl), from /proc/locks, which shows them to every user:
// "1: FLOCK  ADVISORY  WRITE 1234 00:18:5 0 EOF" names the file by its
// file system's device in hex and its inode.
std::vector<long> LockHolders(const struct stat& file)
{
    std::vector<long> pids;
    std::ifstream locks("/proc/locks");
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(file.st_dev), minor(file.st_dev),
                  static_cast<unsigned long long>(file.st_ino));
    const long self = static_cast<long>(getpid());
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string id, kind, mode, access, where;
        long pid = 0;
        if (fields >> id >> kind >> mode >> access >> pid >> where && where == wanted && pid > 0 && pid != self &&
            std::find(pids.begin(), pids.end(), pid) == pids.end())
            pids.push_back(pid);
    }
    return pids;
}

std::string HolderList(const std::vector<long>& pids)
{
    std::string list;
    for (size_t i = 0; i < pids.size(); ++i)
        list += (i > 0 ? ", " : "") + std::string("pid ") + std::to_string(pids[i]) + " (" + CommandOf(pids[i]) + ")";
    return list;
}

// Whether a terminal driver serves the device; when the kernel's list
// cannot be read, it is taken to be one, so a port is never refused for it.
bool IsTerminal(dev_t device)
{
    std::ifstream file("/proc/tty/drivers");
    if (!file)
        return true;
    std::stringstream drivers;
    drivers << file.rdbuf();
    return TtyDriverServes(drivers.str(), major(device), minor(device));
}

std::string UserName(uid_t uid)
{
    const passwd* entry = getpwuid(uid);
    return entry != nullptr ? entry->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid)
{
    const group* entry = getgrgid(gid);
    return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

}  // namespace

std::string PortProblemBeforeOpen(const std::string& name)
{
    const std::string path = DevicePath(name);
    if (path.empty())
        return {};  // the driver's name rules decide
    const std::string lead = Lead(name, path);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        const int error = errno;
        struct stat link {};
        if (error == ENOENT && lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            char target[PATH_MAX] = {};
            const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
            return lead + "it is a link to " +
                   (n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string("?")) +
                   ", which does not exist (has the program that made it, such as plcsim, ended?)";
        }
        if (error == ENOENT)
            return lead + "it does not exist; " + AdaptersHere();
        if (error == EACCES)
            return lead + "permission denied on a folder on the way to it";
        return lead + std::strerror(error);
    }
    if (S_ISDIR(st.st_mode))
        return lead + "it is a directory, not a serial port";
    if (S_ISREG(st.st_mode))
        return lead + "it is a regular file, not a serial port";
    if (!S_ISCHR(st.st_mode))
        return lead + "it is not a character device, as a serial port is";
    if (!IsTerminal(st.st_rdev))
        return lead + "it is a character device no terminal driver serves (" + std::to_string(major(st.st_rdev)) + ":" +
               std::to_string(minor(st.st_rdev)) + "), not a serial port";
    if (access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)) + 1);
        const int count = getgroups(static_cast<int>(groups.size()), groups.data());
        std::vector<unsigned> userGroups(groups.begin(), groups.begin() + std::max(count, 0));
        userGroups.push_back(getegid());
        const DeviceAccess device{st.st_mode, st.st_gid, UserName(st.st_uid), GroupName(st.st_gid)};
        return lead + PermissionAdvice(device, userGroups, path);
    }
    return {};
}

std::string PortProblemAfterRefusal(const std::string& name)
{
    if (std::string before = PortProblemBeforeOpen(name); !before.empty())
        return before;  // it changed since, or never was a port
    const std::string path = DevicePath(name);
    const std::string lead = Lead(name, path);
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0)
        return lead + "the driver refused it (ColdStart returned RECOVERY_ERROR)";

    const PortHolders holders = HoldersOf(name);
    if (holders.Any()) {
        const std::string noLock =
            "programs that take no lock, like cat, do not keep a port from opening, but read what comes in";
        if (holders.locking.empty())
            return lead + "it is held by another program: " + holders.open + "; close it and try again (" + noLock +
                   ")";
        // The one with the lock is the one that keeps the driver out.
        return lead + "it is locked by another program: " + holders.locking +
               (holders.open.empty() ? "" : "; also open in " + holders.open) + "; close it and try again (" + noLock +
               ")";
    }
    // Nobody this user can see: the open itself tells what is in the way.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == EBUSY)
            return lead + "another program has it in exclusive use, one /proc does not show to you (another user's?)";
        return lead + std::strerror(error);
    }
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    if (locked)
        return lead + "another program holds its lock, one /proc does not show to you (another user's?)";
    return lead + "the driver could not set it up (ColdStart returned RECOVERY_ERROR): is it a serial port that takes "
                  "these line settings (--baud, --format)?";
}

PortHolders HoldersOf(const std::string& name)
{
    const std::string path = DevicePath(name);
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode) || !IsTerminal(st.st_rdev))
        return {};
    const std::vector<long> locking = LockHolders(st);
    std::vector<long> open;
    for (long pid : OpenIn(st.st_rdev))
        if (std::find(locking.begin(), locking.end(), pid) == locking.end())
            open.push_back(pid);
    return {HolderList(locking), HolderList(open)};
}

}  // namespace kivhost
