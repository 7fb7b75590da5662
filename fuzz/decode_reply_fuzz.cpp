// DecodeReplyData on any reply bytes for any IoBlock with a count from 0 to
// 255 and any operand: it must write exactly the elements the count covers,
// with the values the reply's characters say, and nothing else.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host_api/davodev.h"
#include "protocol/frames.h"

namespace {

constexpr size_t FRONT = 16;      // guard elements before values[0]
constexpr size_t ELEMENTS = 272;  // room for 255 words and guards after them
constexpr uint16_t GUARD = 0xA55A;

// Elements [first, last) the layout gives a count.
void Covered(int32_t count, bool word, int32_t* first, int32_t* last)
{
    if (count == 0) {
        *first = *last = 0;
    } else if (count == 1) {
        *first = 1;
        *last = 2;
    } else {
        *first = 0;
        *last = word ? count : (count + 15) / 16;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietDriverOutput();
    return 0;
}

// Input: an operand byte (low 2 bits pick A, B, E or W; with bit 7 set the
// next 4 bytes are a raw operand code), the count byte, then the reply data.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int32_t OPERANDS[4] = {'A', 'B', 'E', 'W'};
    fuzz::Input in(data, size);
    const uint8_t operandByte = in.Byte();
    const int32_t operand = (operandByte & 0x80) ? static_cast<int32_t>(in.U32()) : OPERANDS[operandByte & 3];
    const int32_t count = in.Byte();
    const bool word = operand == 'W';

    // The data part exactly as long as the count needs, in a block of its
    // own: a read past it is AddressSanitizer's to see.
    const size_t needed = word ? 4u * static_cast<size_t>(count == 0 ? 0 : count) : static_cast<size_t>(count);
    std::vector<uint8_t> reply(needed == 0 ? 1 : needed, '0');
    for (size_t i = 0; i < needed && !in.AtEnd(); ++i)
        reply[i] = in.Byte();
    const std::vector<uint8_t> replyBefore = reply;

    std::vector<uint16_t> storage(FRONT + ELEMENTS, GUARD);
    uint16_t* values = storage.data() + FRONT;

    fuzz::Guarded<IoBlock> io;
    std::memset(&io.value, 0x77, sizeof io.value);
    io.value.address.operand = operand;
    io.value.count = count;
    io.value.values = values;
    const IoBlock ioBefore = io.value;

    const int32_t result = kiv::DecodeReplyData(io.value, reply.data());

    FUZZ_CHECK(result == SUCCESS);
    FUZZ_CHECK(io.GuardsIntact());
    FUZZ_CHECK(std::memcmp(&io.value, &ioBefore, sizeof ioBefore) == 0);
    FUZZ_CHECK(reply == replyBefore);

    int32_t first = 0, last = 0;
    Covered(count, word, &first, &last);
    for (size_t i = 0; i < FRONT; ++i)
        FUZZ_CHECK(storage[i] == GUARD);
    for (int32_t i = 0; i < static_cast<int32_t>(ELEMENTS); ++i) {
        if (i < first || i >= last) {
            FUZZ_CHECK(values[i] == GUARD);
            continue;
        }
        uint16_t want = 0;
        if (word) {
            const int32_t digits = fuzz::HexValue(&reply[4 * static_cast<size_t>(count == 1 ? 0 : i)], 4);
            want = digits < 0 ? 0xFFFF : static_cast<uint16_t>(digits);
        } else if (count == 1) {
            want = static_cast<uint16_t>(reply[0] - 0x30);
        } else {
            for (int32_t bit = 0; bit < 16 && i * 16 + bit < count; ++bit)
                if (reply[static_cast<size_t>(i * 16 + bit)] == '1')
                    want |= static_cast<uint16_t>(1u << bit);
        }
        FUZZ_CHECK(values[i] == want);
    }
    return 0;
}
