// The tag address parser through KivMain: any bytes as the text, any tag
// type and count, single and block mode. Beyond "no crash", every outcome is
// compared with a model of the parser rules written out separately here: the
// result, and each field of the DriverAddress, including which fields a
// rejection at each step has already written and which keep their defaults.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host_api/davodev.h"

namespace {

struct Model {
    int32_t result;
    DriverAddress address;
};

uint8_t UpperAscii(uint8_t c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 'a' + 'A') : c;
}

bool InSet(const char* set, uint8_t c)
{
    if (c == 0)
        return true;  // a short text passes here and fails when read
    for (const char* p = set; *p != '\0'; ++p)
        if (static_cast<uint8_t>(*p) == c)
            return true;
    return false;
}

// What the parser must leave, step by step.
Model Expected(const uint8_t* text, size_t length, uint32_t tagType, int32_t count, bool blockMode)
{
    Model m{REJECTED, {0, 0, 0, NO_BIT, 1}};
    uint8_t c[9] = {};
    for (size_t i = 0; i < 8 && i < length; ++i)
        c[i] = text[i];
    if (c[7] == 0)
        c[7] = ' ';
    for (int i = 0; i < 8; ++i)
        c[i] = UpperAscii(c[i]);

    static const char* const sets[8] = {"0123456789ABCDEF", "0123456789ABCDEF", "WBEA",
                                        "0123456789ABCDEF", "0123456789ABCDEF", "0123456789ABCDEF",
                                        "0123456789ABCDEF", "0123456789ABCDEF "};
    for (int i = 0; i < 8; ++i)
        if (!InSet(sets[i], c[i]))
            return m;

    const int32_t station = fuzz::HexValue(c, 2);
    if (station < 1 || station > 32)
        return m;
    m.address.station = station;

    m.address.operand = c[2];
    if (c[2] == 'W')
        m.address.width = 16;
    else if (c[2] != 'A' && c[2] != 'B' && c[2] != 'E')
        return m;

    const int32_t number = fuzz::HexValue(c + 3, 4);
    if (number < 0)
        return m;
    if (c[2] == 'A' || c[2] == 'E') {
        if ((number & 0xFE0F) > 7 || (number & 0xFFF0) > 0x310)
            return m;
    }
    m.address.number = number;

    if (count > 255)
        return m;
    const bool bitDigit = c[7] != ' ';
    if (blockMode) {
        m.result = bitDigit ? REJECTED : SUCCESS;
        return m;
    }
    if (c[2] == 'W') {
        if (tagType == 6) {
            if (!bitDigit)
                return m;
            m.address.bit = fuzz::HexValue(c + 7, 1);
            m.result = SUCCESS;
        } else if (tagType == 0 || tagType == 1) {
            m.result = bitDigit ? REJECTED : SUCCESS;
        }
        return m;
    }
    m.result = tagType == 6 ? SUCCESS : REJECTED;
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietDriverOutput();
    return 0;
}

// Input: a flags byte (bit 0 block mode, bit 1 a full 32-bit tag type, bit 2
// a full 32-bit count, bits 3-7 the fill of the address beforehand), the tag
// type (1 or 4 bytes), the count (2 or 4 bytes), then the text up to the
// first NUL or the end.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in(data, size);
    const uint8_t flags = in.Byte();
    const bool blockMode = flags & 1;
    const uint32_t tagType = (flags & 2) ? in.U32() : in.Byte() & 7u;
    const int32_t count = (flags & 4) ? static_cast<int32_t>(in.U32()) : static_cast<int16_t>(in.U16());

    // The text in a block of its own, exactly as long as it is, so that a
    // read past its NUL is seen by AddressSanitizer.
    size_t length = 0;
    while (length < in.Left() && in.Here()[length] != 0)
        ++length;
    std::vector<char> text(in.Here(), in.Here() + length);
    text.push_back('\0');
    std::vector<char> textCopy = text;

    fuzz::Guarded<AddressParseBlock> block;
    block.value.text = text.data();
    std::memset(block.value.unused, 0x5A, sizeof block.value.unused);
    block.value.tagType = tagType;
    block.value.count = count;
    // Whatever the host left in the address must not survive the parse.
    std::memset(&block.value.address, flags | 0x07, sizeof block.value.address);
    const AddressParseBlock before = block.value;

    fuzz::Guarded<ChannelBlock> channel;
    std::memset(&channel.value, 0x3C, sizeof channel.value);
    const ChannelBlock channelBefore = channel.value;

    DriverRequest request{};
    request.channel = &channel.value;
    request.code = blockMode ? CMD_BLOCK_ADDRESS_PARSER : CMD_SINGLE_ADDRESS_PARSER;
    request.params = &block.value;
    const int32_t result = KivMain(&request);

    const Model model = Expected(reinterpret_cast<const uint8_t*>(text.data()), length, tagType, count, blockMode);
    const DriverAddress& got = block.value.address;

    FUZZ_CHECK(result == SUCCESS || result == REJECTED);
    FUZZ_CHECK(result == model.result);
    FUZZ_CHECK(got.station == model.address.station);
    FUZZ_CHECK(got.operand == model.address.operand);
    FUZZ_CHECK(got.number == model.address.number);
    FUZZ_CHECK(got.bit == model.address.bit);
    FUZZ_CHECK(got.width == model.address.width);

    // The plain ranges, whatever the model says.
    FUZZ_CHECK(got.width == 1 || got.width == 16);
    FUZZ_CHECK(got.bit == NO_BIT || (got.bit >= 0 && got.bit <= 15));
    FUZZ_CHECK(got.station == 0 || (got.station >= 1 && got.station <= 32));
    FUZZ_CHECK(got.number >= 0 && got.number <= 0xFFFF);

    // Only the address is the parser's to write.
    FUZZ_CHECK(block.GuardsIntact());
    FUZZ_CHECK(block.value.text == before.text);
    FUZZ_CHECK(std::memcmp(block.value.unused, before.unused, sizeof before.unused) == 0);
    FUZZ_CHECK(block.value.tagType == before.tagType);
    FUZZ_CHECK(block.value.count == before.count);
    FUZZ_CHECK(text == textCopy);
    FUZZ_CHECK(channel.GuardsIntact());
    FUZZ_CHECK(std::memcmp(&channel.value, &channelBefore, sizeof channelBefore) == 0);
    return 0;
}
