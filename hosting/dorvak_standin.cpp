#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "hosting/dorvak.h"

namespace {

// Set while the driver is quiet (before a run, between tests); read by every line.
std::atomic<DorvakSink> currentSink{nullptr};
std::atomic<void*> currentContext{nullptr};
std::atomic<bool> loggingOn{true};

}  // namespace

extern "C" DORVAK_API int DORVAK_CDECL err(int32_t level, const char* format, ...)
{
    if (!loggingOn.load(std::memory_order_relaxed))
        return 0;
    char text[1024];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0)
        return -1;
    if (DorvakSink sink = currentSink.load(std::memory_order_acquire))
        sink(level, text, currentContext.load(std::memory_order_acquire));
    else
        fprintf(stderr, "err %d: %s\n", static_cast<int>(level), text);
    return length;
}

extern "C" DORVAK_API void DORVAK_CDECL DorvakSetSink(DorvakSink sink, void* context)
{
    currentContext.store(context, std::memory_order_release);
    currentSink.store(sink, std::memory_order_release);
}

extern "C" DORVAK_API void DORVAK_CDECL DorvakSetLogging(int enabled)
{
    loggingOn.store(enabled != 0, std::memory_order_relaxed);
}
