// A minimal check macro for the Windows test programs run under wine. It
// reports on standard error: standard output carries the driver's traces.
#ifndef DAVODEV_WINE_CHECK_H
#define DAVODEV_WINE_CHECK_H

#include <windows.h>

#include <cstdio>

// GetProcAddress returns a generic function pointer; the real type is known
// to the caller.
template <typename Function>
Function Proc(HMODULE module, LPCSTR name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

inline int wineCheckFailures = 0;

#define WINE_CHECK(condition)                                                         \
    do {                                                                              \
        if (!(condition)) {                                                           \
            std::fprintf(stderr, "FAIL %s:%d: %s\n", __FILE__, __LINE__, #condition); \
            ++wineCheckFailures;                                                      \
        }                                                                             \
    } while (0)

inline int WineCheckResult(const char* name)
{
    std::fprintf(stderr, "%s: %s (%d failures)\n", name, wineCheckFailures == 0 ? "ok" : "FAILED", wineCheckFailures);
    return wineCheckFailures == 0 ? 0 : 1;
}

#endif  // DAVODEV_WINE_CHECK_H
