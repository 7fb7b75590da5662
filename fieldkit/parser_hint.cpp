#include "fieldkit/parser_hint.h"

#include <cctype>
#include <cstdio>
#include <optional>
#include <vector>

namespace kivhost {
namespace {

// All kivhost assumes of an address text is its layout: two characters of
// station, the operand, four of number (for A and E three of byte and one of
// bit), and an optional eighth, the bit digit. Which characters each field
// takes, alone and together, is the parser's to say.
constexpr size_t OPERAND_AT = 2;
constexpr size_t NUMBER_AT = 3;
constexpr size_t BIT_DIGIT_AT = 7;
// An address the parser takes; its later fields stand in for the text's
// while an earlier field of the text is tried.
const std::string WORD_EXAMPLE = "01W0010";
// Hosts number their tag types from 0; these are the ones asked about.
constexpr uint32_t TAG_TYPES_TRIED = 16;
constexpr const char* DIGITS = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

const char* const FALLBACK = "check it against the address form in kivhost --help";

std::string Hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

// "6", "0 or 1", "0, 1 or 6".
std::string OneOf(const std::vector<uint32_t>& values)
{
    std::string text;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0)
            text += i + 1 == values.size() ? " or " : ", ";
        text += std::to_string(values[i]);
    }
    return text;
}

struct Request {
    std::string text;
    bool block;
    uint32_t tagType;
    int32_t count;
};

// The values from 0 to a limit for which the parser takes a text made of
// them: the first, the last, and how many.
struct Found {
    unsigned first = 0;
    unsigned last = 0;
    unsigned count = 0;
};

class ParserProbe {
public:
    explicit ParserProbe(const AddressParser& parse) : parse_(parse) {}

    bool Takes(const Request& request, DriverAddress* address = nullptr) const
    {
        DriverAddress scratch{};
        return parse_(request.text, request.block, request.tagType, request.count,
                      address != nullptr ? address : &scratch) == SUCCESS;
    }

    // The tag types with which the single parser takes text as one element.
    std::vector<uint32_t> TagTypes(const std::string& text) const
    {
        std::vector<uint32_t> types;
        for (uint32_t type = 0; type < TAG_TYPES_TRIED; ++type)
            if (Takes({text, false, type, 1}))
                types.push_back(type);
        return types;
    }

    // An address of some tag type.
    bool IsAddress(const std::string& text) const
    {
        for (uint32_t type = 0; type < TAG_TYPES_TRIED; ++type)
            if (Takes({text, false, type, 1}))
                return true;
        return false;
    }

    template <typename MakeText>
    Found Range(unsigned limit, MakeText make) const
    {
        Found found;
        for (unsigned value = 0; value <= limit; ++value) {
            if (!IsAddress(make(value)))
                continue;
            if (found.count++ == 0)
                found.first = value;
            found.last = value;
        }
        return found;
    }

private:
    const AddressParser& parse_;
};

// The first field of the text the parser refuses, each tried with the
// example's later fields after it.
std::string TextHint(const ParserProbe& probe, const std::string& text)
{
    if (text.size() < BIT_DIGIT_AT)
        return "an address has seven characters (eight with a bit digit), e.g. " + WORD_EXAMPLE;

    if (!probe.IsAddress(text.substr(0, OPERAND_AT) + WORD_EXAMPLE.substr(OPERAND_AT))) {
        const Found stations =
            probe.Range(0xFF, [](unsigned station) { return Hex(station, 2) + WORD_EXAMPLE.substr(OPERAND_AT); });
        if (stations.count == 0)
            return FALLBACK;
        return "the station is two hex digits from " + Hex(stations.first, 2) + " to " + Hex(stations.last, 2) + " (" +
               std::to_string(stations.count) + " stations)";
    }

    if (!probe.IsAddress(text.substr(0, NUMBER_AT) + WORD_EXAMPLE.substr(NUMBER_AT)))
        return "the operand is W (word), B (bit), or A or E (byte and bit)";

    const std::string head = text.substr(0, NUMBER_AT);
    const std::string digits = text.substr(NUMBER_AT, BIT_DIGIT_AT - NUMBER_AT);
    if (!probe.IsAddress(head + digits)) {
        // Digits a word takes but this operand does not: a byte and a bit out of its range.
        if (!probe.IsAddress(WORD_EXAMPLE.substr(0, NUMBER_AT) + digits))
            return "four hex digits follow the operand, e.g. " + WORD_EXAMPLE;
        const Found bytes = probe.Range(0xFFF, [&](unsigned byte) { return head + Hex(byte, 3) + "0"; });
        const Found bits = probe.Range(0xF, [&](unsigned bit) { return head + "000" + Hex(bit, 1); });
        if (bytes.count == 0 || bits.count == 0)
            return FALLBACK;
        const std::string operand(1, static_cast<char>(std::toupper(static_cast<unsigned char>(head[OPERAND_AT]))));
        return operand + " takes a byte from " + Hex(bytes.first, 3) + " to " + Hex(bytes.last, 3) +
               " and a bit from " + Hex(bits.first, 1) + " to " + Hex(bits.last, 1) + ", e.g. " +
               head.substr(0, OPERAND_AT) + operand + Hex(bytes.last, 3) + Hex(bits.last, 1);
    }

    const std::string withBitDigit = text.substr(0, BIT_DIGIT_AT + 1);
    if (!probe.IsAddress(withBitDigit)) {
        const Found bitDigits =
            probe.Range(35, [&](unsigned digit) { return head + digits + std::string(1, DIGITS[digit]); });
        if (bitDigits.count == 0)
            return FALLBACK;
        return std::string("the eighth character is a bit digit, ") + DIGITS[bitDigits.first] + " to " +
               DIGITS[bitDigits.last] + ", or nothing";
    }
    return FALLBACK;
}

// The parts of a request other than its text, in the order they are tried.
enum class Part { Count, BitDigit, TagType };

// The request with this part as the parser may want it, or nothing when the
// part offers no other choice.
std::optional<Request> Change(const ParserProbe& probe, Request request, Part part)
{
    switch (part) {
    case Part::Count:
        if (request.count == 1)
            return std::nullopt;
        request.count = 1;
        return request;
    case Part::BitDigit:
        if (!request.block || request.text.size() <= BIT_DIGIT_AT)
            return std::nullopt;
        request.text.resize(BIT_DIGIT_AT);
        return request;
    case Part::TagType: {
        if (request.block)
            return std::nullopt;
        const std::vector<uint32_t> types = probe.TagTypes(request.text);
        if (types.empty())
            return std::nullopt;
        request.tagType = types.front();
        return request;
    }
    }
    return std::nullopt;
}

Request Restore(Request request, const Request& asked, Part part)
{
    switch (part) {
    case Part::Count: request.count = asked.count; break;
    case Part::BitDigit: request.text = asked.text; break;
    case Part::TagType: request.tagType = asked.tagType; break;
    }
    return request;
}

std::string Hint(const ParserProbe& probe, const Request& taken, Part part)
{
    switch (part) {
    case Part::Count: return "a run holds at most " + std::to_string(MAX_COUNT) + " elements";
    case Part::BitDigit:
        return "a bit of a word goes alone: leave out the bit digit for a run of words, or the count for the bit";
    case Part::TagType: break;
    }
    DriverAddress address{};
    probe.Takes(taken, &address);
    const std::string types = OneOf(probe.TagTypes(taken.text));
    if (address.bit != NO_BIT)
        return "a bit of a word takes tag type " + types;
    if (address.width == 1)
        return "bit operands (B, A, E) take tag type " + types;
    const std::vector<uint32_t> bitTypes = probe.TagTypes(taken.text.substr(0, BIT_DIGIT_AT) + "0");
    if (bitTypes.empty())
        return "a whole word takes tag type " + types;
    return "a whole word takes tag type " + types + "; a bit of it needs a bit digit and type " + OneOf(bitTypes);
}

// The text is an address: the parts are changed one after another, each on
// top of the ones before, until the parser takes the request. The hint is
// that of the first change it cannot do without.
std::string RequestHint(const ParserProbe& probe, const Request& asked)
{
    Request tried = asked;
    std::vector<Part> changed;
    for (const Part part : {Part::Count, Part::BitDigit, Part::TagType}) {
        if (const std::optional<Request> next = Change(probe, tried, part)) {
            tried = *next;
            changed.push_back(part);
        }
        if (changed.empty() || !probe.Takes(tried))
            continue;
        for (const Part needed : changed)
            if (!probe.Takes(Restore(tried, asked, needed)))
                return Hint(probe, tried, needed);
        return Hint(probe, tried, changed.front());
    }
    return FALLBACK;
}

}  // namespace

std::string RejectionHint(const AddressParser& parse, const std::string& text, bool block, uint32_t tagType,
                          int32_t count)
{
    const ParserProbe probe(parse);
    if (!probe.IsAddress(text))
        return TextHint(probe, text);
    return RequestHint(probe, {text, block, tagType, count});
}

}  // namespace kivhost
