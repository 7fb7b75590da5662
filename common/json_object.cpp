#include "json_object.h"

#include <cstdio>

#include "tool_text.h"

namespace kivhost {

JsonObject& JsonObject::Raw(std::string_view key, const std::string& json)
{
    if (body_.size() > 1)
        body_ += ",";
    body_ += JsonString(key) + ":" + json;
    return *this;
}

JsonObject& JsonObject::Text(std::string_view key, std::string_view utf8)
{
    return Raw(key, JsonString(utf8));
}

JsonObject& JsonObject::Number(std::string_view key, long long value)
{
    return Raw(key, std::to_string(value));
}

JsonObject& JsonObject::Bool(std::string_view key, bool value)
{
    return Raw(key, value ? "true" : "false");
}

std::string JsonNumber(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

std::string JsonValues(const std::vector<uint16_t>& values)
{
    std::string out = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0)
            out += ',';
        out += std::to_string(values[i]);
    }
    return out + "]";
}

}  // namespace kivhost
