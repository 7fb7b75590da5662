// Shared pieces of the fuzz targets: reading the input, guard bytes around
// the host's records, and quieting the driver's traces and log.
#ifndef DAVODEV_FUZZ_SUPPORT_H
#define DAVODEV_FUZZ_SUPPORT_H

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hosting/dorvak.h"
#include "wire/hex_digits.h"

// A failed check is a crash for libFuzzer: it keeps the input.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

namespace fuzz {

// The driver traces every frame on standard output; at fuzzing speed that
// is most of the time spent, so it goes to /dev/null once and for all.
inline void QuietDriverOutput()
{
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, 1);
        close(null);
    }
    // Log lines are still formatted by the host library; only kept nowhere.
    DorvakSetSink([](int32_t, const char*, void*) {}, nullptr);
}

// Consumes the fuzz input front to back; past its end every read is 0.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t U16()
    {
        const uint16_t low = Byte();
        return static_cast<uint16_t>(low | (Byte() << 8));
    }
    uint32_t U32()
    {
        const uint32_t low = U16();
        return low | (static_cast<uint32_t>(U16()) << 16);
    }
    bool AtEnd() const { return pos_ >= size_; }
    // The next byte without taking it; -1 at the end.
    int Peek() const { return pos_ < size_ ? data_[pos_] : -1; }
    size_t Left() const { return size_ - pos_; }
    const uint8_t* Here() const { return data_ + pos_; }
    void Skip(size_t n) { pos_ = n < Left() ? pos_ + n : size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

constexpr size_t GUARD_SIZE = 64;
constexpr uint8_t GUARD_BYTE = 0xC3;

// A host record with guard bytes on both sides, to see writes just outside it.
template <typename T>
struct Guarded {
    uint8_t before[GUARD_SIZE];
    T value;
    uint8_t after[GUARD_SIZE];

    Guarded()
    {
        std::memset(before, GUARD_BYTE, sizeof before);
        std::memset(&value, 0, sizeof value);
        std::memset(after, GUARD_BYTE, sizeof after);
    }
    bool GuardsIntact() const
    {
        for (size_t i = 0; i < GUARD_SIZE; ++i)
            if (before[i] != GUARD_BYTE || after[i] != GUARD_BYTE)
                return false;
        return true;
    }
};

// n hexadecimal characters as a number, or -1 if any is not a digit: the
// tools' reading of frames, independent of the driver's.
inline int32_t HexValue(const uint8_t* chars, int n)
{
    return kivhost::HexValue(std::string_view(reinterpret_cast<const char*>(chars), static_cast<size_t>(n)));
}

}  // namespace fuzz

#endif  // DAVODEV_FUZZ_SUPPORT_H
