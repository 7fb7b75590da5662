#include "bench/thread_times.h"

#include <sys/resource.h>

namespace kivbench {

ThreadTimes Now()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return {usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6, usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6};
}

ThreadTimes operator-(const ThreadTimes& a, const ThreadTimes& b)
{
    return {a.user - b.user, a.system - b.system};
}

ThreadTimes& operator+=(ThreadTimes& a, const ThreadTimes& b)
{
    a.user += b.user;
    a.system += b.system;
    return a;
}

}  // namespace kivbench
