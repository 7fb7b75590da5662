// Stand-in for the host's log library DORVAK: exports err as a host's runtime
// does, and lets a program (the host program, a test) receive every line.
#ifndef DAVODEV_DORVAK_H
#define DAVODEV_DORVAK_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(DORVAK_BUILDING)
#define DORVAK_API __declspec(dllexport)
#else
#define DORVAK_API __declspec(dllimport)
#endif
#define DORVAK_CDECL __cdecl
#else
#define DORVAK_API __attribute__((visibility("default")))
#define DORVAK_CDECL
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Receives each expanded log line (without a line feed) and its level.
typedef void (*DorvakSink)(int32_t level, const char* text, void* context);

// The host log function the driver imports.
DORVAK_API int DORVAK_CDECL err(int32_t level, const char* format, ...);

// Routes lines to sink; nullptr restores the default, which writes
// "err <level>: <text>" lines to standard error.
DORVAK_API void DORVAK_CDECL DorvakSetSink(DorvakSink sink, void* context);

// 0 switches logging off, as a host may: err then returns at once without
// expanding its format. Nonzero switches it back on (the default).
DORVAK_API void DORVAK_CDECL DorvakSetLogging(int enabled);

typedef void(DORVAK_CDECL* DorvakSetSinkFn)(DorvakSink sink, void* context);

#ifdef __cplusplus
}
#endif

#endif  // DAVODEV_DORVAK_H
