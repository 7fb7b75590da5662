// JSON for scripts, written in the order the keys are given.
#ifndef DAVODEV_TOOLS_JSON_OBJECT_H
#define DAVODEV_TOOLS_JSON_OBJECT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kivhost {

// Small JSON objects, written in order.
class JsonObject {
public:
    JsonObject& Raw(std::string_view key, const std::string& json);
    JsonObject& Text(std::string_view key, std::string_view utf8);
    JsonObject& Number(std::string_view key, long long value);
    JsonObject& Bool(std::string_view key, bool value);
    std::string Done() const { return body_ + "}"; }

private:
    std::string body_ = "{";
};

// A time or rate in ms, to the microsecond.
std::string JsonNumber(double value);
std::string JsonValues(const std::vector<uint16_t>& values);

}  // namespace kivhost

#endif  // DAVODEV_TOOLS_JSON_OBJECT_H
