// A minimal check macro for the Windows test programs run under wine.
#ifndef DAVODEV_WINE_CHECK_H
#define DAVODEV_WINE_CHECK_H

#include <cstdio>

inline int wineCheckFailures = 0;

#define WINE_CHECK(condition)                                                          \
    do {                                                                               \
        if (!(condition)) {                                                            \
            std::printf("FAIL %s:%d: %s\n", __FILE__, __LINE__, #condition);           \
            ++wineCheckFailures;                                                       \
        }                                                                              \
    } while (0)

inline int WineCheckResult(const char* name)
{
    std::printf("%s: %s (%d failures)\n", name, wineCheckFailures == 0 ? "ok" : "FAILED", wineCheckFailures);
    std::fflush(stdout);
    return wineCheckFailures == 0 ? 0 : 1;
}

#endif  // DAVODEV_WINE_CHECK_H
