#include "bench/alloc_counter.h"

#include <atomic>
#include <cstddef>

// glibc's own allocator under the names it keeps for replacements to call.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* pointer);
}

namespace {

// Initial-exec TLS in the program itself: reading it never allocates.
thread_local bool counting = false;
std::atomic<uint64_t> allocations{0};

inline void Count()
{
    if (counting)
        allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

namespace kivbench {

void CountAllocations(bool on)
{
    counting = on;
}

uint64_t AllocationCount()
{
    return allocations.load(std::memory_order_relaxed);
}

}  // namespace kivbench

extern "C" {

void* malloc(size_t size) noexcept
{
    Count();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) noexcept
{
    Count();
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) noexcept
{
    Count();
    return __libc_realloc(pointer, size);
}

void free(void* pointer) noexcept
{
    __libc_free(pointer);
}

void* memalign(size_t alignment, size_t size) noexcept
{
    Count();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) noexcept
{
    Count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) noexcept
{
    Count();
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0)
        return 22;  // EINVAL
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr)
        return 12;  // ENOMEM
    *result = p;
    return 0;
}

}  // extern "C"
