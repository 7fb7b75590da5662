#include "address/address_parser.h"

#include <cstring>

#include "host_api/host_log.h"
#include "host_api/log_messages.h"

namespace kiv {
namespace {

constexpr int TEXT_COPY = 256;
constexpr int TEXT_LENGTH = 8;  // station 2, operand 1, number 4, bit 1
constexpr uint32_t TAG_TYPE_BIT = 6;

constexpr const char* HEX_DIGITS = "0123456789ABCDEF";
constexpr const char* OPERANDS = "WBEA";
constexpr const char* BIT_DIGITS = "0123456789ABCDEF ";
constexpr const char* POSITION_SETS[TEXT_LENGTH] = {
    HEX_DIGITS, HEX_DIGITS, OPERANDS, HEX_DIGITS, HEX_DIGITS, HEX_DIGITS, HEX_DIGITS, BIT_DIGITS,
};

// Only ASCII letters change: bytes above 0x7F stay as they are and fail the
// character check.
char UpperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// A set's terminating NUL counts as found, so a short text passes here and
// is caught when its digits are read.
bool InSet(const char* set, char c)
{
    return c == '\0' || std::strchr(set, c) != nullptr;
}

bool IsByteAndBitOperand(int32_t operand)
{
    return operand == 'A' || operand == 'E';
}

}  // namespace

int32_t ParseAddress(AddressParseBlock* block, ParseMode mode)
{
    DriverAddress& out = block->address;
    out.bit = NO_BIT;
    out.operand = 0;
    out.number = 0;
    out.station = 0;
    out.width = 1;

    char text[TEXT_COPY + 1] = {};
    for (int i = 0; i < TEXT_COPY && block->text[i] != '\0'; ++i)
        text[i] = block->text[i];
    // Seven characters: the bit digit is left out.
    if (text[7] == '\0') {
        text[7] = ' ';
        text[8] = '\0';
    }

    for (int i = 0; i < TEXT_LENGTH; ++i)
        text[i] = UpperAscii(text[i]);

    for (int i = 0; i < TEXT_LENGTH; ++i)
        if (!InSet(POSITION_SETS[i], text[i]))
            return REJECTED;

    const int32_t station = ReadNumber(&text[0], 2, 'H');
    if (station < 1 || station > 32)
        return REJECTED;
    out.station = station;

    out.operand = text[2];
    switch (text[2]) {
    case 'A':
    case 'B':
    case 'E': out.width = 1; break;
    case 'W': out.width = 16; break;
    default: return REJECTED;
    }

    const int32_t number = ReadNumber(&text[3], 4, 'H');
    if (number < 0) {
        HostLog(LEVEL_ERROR, MSG_INVALID_ADDRESS);
        return REJECTED;
    }

    // A and E name a byte below 0x20 and a bit from 0 to 7.
    if (IsByteAndBitOperand(out.operand)) {
        if ((number & 0xFE0F) > 7)
            return REJECTED;
        if ((number & 0xFFF0) > 0x310)
            return REJECTED;
    }
    out.number = number;

    if (block->count > MAX_COUNT)
        return REJECTED;

    const bool hasBitDigit = text[7] != ' ';

    if (mode == ParseMode::Block)
        return hasBitDigit ? REJECTED : SUCCESS;

    if (out.operand == 'W') {
        if (block->tagType == TAG_TYPE_BIT) {
            if (!hasBitDigit)
                return REJECTED;
            out.bit = ReadNumber(&text[7], 1, 'H');
            return SUCCESS;
        }
        if (block->tagType == 0 || block->tagType == 1)
            return hasBitDigit ? REJECTED : SUCCESS;
        return REJECTED;
    }

    // A single bit of A, B or E: a bit digit has no meaning there and is ignored.
    return block->tagType == TAG_TYPE_BIT ? SUCCESS : REJECTED;
}

int32_t SingleAddressParser(DriverRequest* request)
{
    auto* block = static_cast<AddressParseBlock*>(request->params);
    if (block == nullptr || block->text == nullptr)
        return REJECTED;
    return ParseAddress(block, ParseMode::Single);
}

int32_t BlockAddressParser(DriverRequest* request)
{
    auto* block = static_cast<AddressParseBlock*>(request->params);
    if (block == nullptr || block->text == nullptr)
        return REJECTED;
    return ParseAddress(block, ParseMode::Block);
}

}  // namespace kiv
