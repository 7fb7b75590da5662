// Small helpers shared by the reliability tests: open descriptors, a quiet
// standard output, a log sink that only counts, a unique short link path.
#ifndef DAVODEV_TESTS_RELIABILITY_SUPPORT_H
#define DAVODEV_TESTS_RELIABILITY_SUPPORT_H

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "hosting/dorvak.h"

namespace reliability {

// Entries of /proc/self/fd, the directory's own descriptor included.
inline int OpenDescriptors()
{
    int n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++n;
        closedir(dir);
    }
    return n;
}

// The descriptors open now, by number (the directory's own left out).
inline std::set<int> OpenDescriptorSet()
{
    std::set<int> open;
    if (DIR* dir = opendir("/proc/self/fd")) {
        const int own = dirfd(dir);
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != own)
                open.insert(std::atoi(entry->d_name));
        closedir(dir);
    }
    return open;
}

// Those open now that were not open before: what a leak leaves. One that a
// sanitizer's or a simulator's thread closed meanwhile is none of ours.
inline std::set<int> OpenedSince(const std::set<int>& before)
{
    std::set<int> opened;
    for (int fd : OpenDescriptorSet())
        if (!before.count(fd))
            opened.insert(fd);
    return opened;
}

// Sends descriptor 1 (the driver's traces) to /dev/null until destroyed:
// thousands of exchanges print far more than anyone reads.
class QuietStdout {
public:
    QuietStdout()
    {
        std::fflush(stdout);
        saved_ = dup(1);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, 1);
        close(null);
    }
    ~QuietStdout()
    {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int saved_ = -1;
};

// Counts the driver's log lines without keeping them; allocates nothing, so
// it may run where allocations are being counted.
class CountingLog {
public:
    CountingLog() { DorvakSetSink(&CountingLog::Sink, this); }
    ~CountingLog() { DorvakSetSink(nullptr, nullptr); }
    CountingLog(const CountingLog&) = delete;
    CountingLog& operator=(const CountingLog&) = delete;

    long Lines() const { return lines_.load(); }

private:
    static void Sink(int32_t, const char*, void* context)
    {
        static_cast<CountingLog*>(context)->lines_.fetch_add(1, std::memory_order_relaxed);
    }
    std::atomic<long> lines_{0};
};

// A path of at most 11 characters that does not exist yet, for a
// simulator's link: port names must fit the ChannelBlock's 12 bytes.
inline std::string UniqueLinkPath()
{
    static std::atomic<unsigned> counter{0};
    for (;;) {
        const unsigned n = (static_cast<unsigned>(getpid()) * 131u + counter.fetch_add(1)) & 0xFFFFu;
        char path[16];
        std::snprintf(path, sizeof path, "/tmp/kv%04x", n);
        struct stat st {};
        if (lstat(path, &st) != 0)
            return path;
    }
}

}  // namespace reliability

#endif  // DAVODEV_TESTS_RELIABILITY_SUPPORT_H
