// kivhost parse: the driver address a tag text becomes, or why the parser
// rejects it, with the driver's log lines.
#include <cstdio>

#include "common/tag_text.h"
#include "common/tool_text.h"
#include "fieldkit/value_text.h"
#include "kivhost/kivhost_commands.h"
#include "wire/address_area.h"
#include "wire/hex_digits.h"

namespace kivhost {
namespace {

std::vector<JsonObject> LogJson(const std::vector<LogLine>& lines)
{
    std::vector<JsonObject> items;
    for (const LogLine& line : lines)
        items.push_back(JsonObject().Number("level", line.level).Text("text", Cp437ToUtf8(line.text)));
    return items;
}

// A and E name a byte and a bit in the number (01F7: byte 1F, bit 7), not in
// the driver's bit field: their place in the area, -1 for W and B.
int32_t ByteBitPlace(const DriverAddress& address)
{
    return IsByteBitOperand(address.operand) ? ByteBitIndex(address.number) : -1;
}

}  // namespace

int RunParse(Context& context)
{
    const Options& options = context.options;
    const std::string& text = options.addresses.front();
    const uint32_t tagType = options.tagType.value_or(DefaultTagType(text));
    const bool block = options.block || options.count != 1;

    // The parsers need no port: the channel is started disabled, which
    // cannot fail, and the parser's answer is what counts.
    DriverInfoBlock info{};
    context.session.GetInfo(&info);
    context.session.ColdStart(options.line, false);
    DriverAddress address{};
    const int32_t result = context.session.Parse(text, block, tagType, options.count, &address);
    const std::vector<LogLine> log = context.session.LastLog();
    const std::string failure = result == SUCCESS ? ""
                                : result == REJECTED
                                    ? ParseRejection(context.session, text, block, tagType, options.count)
                                    : std::string(ParserName(block)) + " returned " + ResultName(result);
    context.session.End();

    if (options.json) {
        JsonObject json;
        json.Text("command", "parse")
            .Text("text", text)
            .Text("parser", ParserName(block))
            .Number("type", tagType)
            .Number("count", options.count);
        ResultJson(json, result).Object("address", AddressJson(address));
        if (const int32_t place = ByteBitPlace(address); result == SUCCESS && place >= 0)
            json.Object("byte_bit", JsonObject().Number("byte", place / 8).Number("bit", place % 8));
        json.Objects("log", LogJson(log));
        if (result != SUCCESS)
            json.Text("reason", result == REJECTED ? "rejected" : "driver").Text("message", failure);
        Emit(context, json);
    } else {
        FILE* out = context.output.Results();
        std::fprintf(out, "%s: %s by %s (tag type %u, count %d)\n", text.c_str(),
                     result == SUCCESS ? "accepted" : "rejected", ParserName(block), static_cast<unsigned>(tagType),
                     static_cast<int>(options.count));
        if (result == SUCCESS) {
            std::fprintf(out, "  station  %d\n", static_cast<int>(address.station));
            std::fprintf(out, "  operand  %c\n", static_cast<char>(address.operand));
            std::fprintf(out, "  number   0x%04X", static_cast<unsigned>(address.number));
            if (const int32_t place = ByteBitPlace(address); place >= 0)
                std::fprintf(out, " (byte %s, bit %d)", Hex(static_cast<unsigned>(place / 8), 2).c_str(),
                             static_cast<int>(place % 8));
            std::fprintf(out, "\n");
            if (address.bit == NO_BIT)
                std::fprintf(out, "  bit      none (255)\n");
            else
                std::fprintf(out, "  bit      %d\n", static_cast<int>(address.bit));
            std::fprintf(out, "  width    %d\n", static_cast<int>(address.width));
        }
        for (const LogLine& line : log)
            std::fprintf(out, "  driver log %d: %s\n", static_cast<int>(line.level), Cp437ToUtf8(line.text).c_str());
        std::fflush(out);
    }
    return Conclude(result, failure);
}

}  // namespace kivhost
