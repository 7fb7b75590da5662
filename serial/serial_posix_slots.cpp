// A handle is the slot's 1-based index in the low byte and the slot's
// generation above it. A slot's generation and state are one atomic word:
// it is claimed with a compare-and-swap (two threads opening ports at once
// never share one), and a close swaps only the word of its own generation,
// so a stale handle cannot close the port that reuses its slot even while
// that open is under way. The I/O path takes no lock at all.
#include "serial/serial_posix_slots.h"

#include <atomic>

namespace kiv {

namespace {

constexpr uint32_t SLOT_COUNT = 64;
constexpr uint32_t INDEX_BITS = 8;
constexpr uint32_t INDEX_MASK = (1u << INDEX_BITS) - 1;
constexpr uint32_t GENERATION_MASK = 0xFFFFFFu;
constexpr uint32_t STATE_BITS = 2;
constexpr uint32_t STATE_MASK = (1u << STATE_BITS) - 1;
static_assert(SLOT_COUNT <= INDEX_MASK, "slot index must fit the handle's low byte");

enum SlotState : uint32_t { SLOT_FREE, SLOT_BUSY, SLOT_OPEN };

constexpr uint32_t SlotWord(uint32_t generation, SlotState state)
{
    return generation << STATE_BITS | state;
}

struct Slot {
    std::atomic<uint32_t> word{SlotWord(0, SLOT_FREE)};  // generation and state
    PosixPort port;
};

constinit Slot slots[SLOT_COUNT];

PortHandle MakeHandle(uint32_t index, uint32_t generation)
{
    return (generation << INDEX_BITS) | (index + 1);
}

uint32_t GenerationOf(PortHandle handle)
{
    return handle >> INDEX_BITS;
}

// The slot a handle's index names, whatever its state, or nullptr.
Slot* SlotOf(PortHandle handle)
{
    const uint32_t index = handle & INDEX_MASK;
    if (index == 0 || index > SLOT_COUNT)
        return nullptr;
    return &slots[index - 1];
}

}  // namespace

bool ClaimPosixPort(int fd, bool tty, PortHandle* handle)
{
    for (uint32_t i = 0; i < SLOT_COUNT; ++i) {
        Slot& slot = slots[i];
        uint32_t expected = slot.word.load(std::memory_order_relaxed);
        if ((expected & STATE_MASK) != SLOT_FREE)
            continue;
        const uint32_t previous = expected >> STATE_BITS;
        if (!slot.word.compare_exchange_strong(expected, SlotWord(previous, SLOT_BUSY), std::memory_order_acquire))
            continue;
        slot.port = PosixPort{};
        slot.port.fd = fd;
        slot.port.tty = tty;
        const uint32_t generation = (previous + 1) & GENERATION_MASK;
        slot.word.store(SlotWord(generation, SLOT_OPEN), std::memory_order_release);
        *handle = MakeHandle(i, generation);
        return true;
    }
    return false;
}

PosixPort* FindPosixPort(PortHandle handle)
{
    Slot* slot = SlotOf(handle);
    if (slot == nullptr || slot->word.load(std::memory_order_acquire) != SlotWord(GenerationOf(handle), SLOT_OPEN))
        return nullptr;
    return &slot->port;
}

PosixPort* TakePosixPort(PortHandle handle)
{
    Slot* slot = SlotOf(handle);
    if (slot == nullptr)
        return nullptr;
    const uint32_t generation = GenerationOf(handle);
    uint32_t expected = SlotWord(generation, SLOT_OPEN);
    if (!slot->word.compare_exchange_strong(expected, SlotWord(generation, SLOT_BUSY), std::memory_order_acquire))
        return nullptr;
    return &slot->port;
}

void ReleasePosixPort(PortHandle handle)
{
    Slot* slot = SlotOf(handle);
    slot->port.fd = -1;
    slot->word.store(SlotWord(GenerationOf(handle), SLOT_FREE), std::memory_order_release);
}

}  // namespace kiv
