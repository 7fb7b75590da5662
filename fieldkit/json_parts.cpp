#include "fieldkit/json_parts.h"

#include "common/tool_text.h"

namespace kivhost {

JsonObject& ResultJson(JsonObject& json, int32_t result)
{
    return json.Number("result", result).Text("status", ResultName(result));
}

JsonObject AddressJson(const DriverAddress& address)
{
    const char operand[2] = {
        static_cast<char>(address.operand >= 0x20 && address.operand < 0x7F ? address.operand : '?'), 0};
    return JsonObject()
        .Number("station", address.station)
        .Text("operand", address.operand == 0 ? "" : operand)
        .Number("number", address.number)
        .Number("bit", address.bit)
        .Number("width", address.width);
}

}  // namespace kivhost
