// JSON for scripts: nlohmann-json's ordered documents, keys in the order
// they are given, and the small builder most results are written with.
// Text that is not UTF-8 is written with U+FFFD in place of the bytes that
// break it, never refused.
#ifndef DAVODEV_TOOLS_JSON_OBJECT_H
#define DAVODEV_TOOLS_JSON_OBJECT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <memory>

// Declarations only: the whole header is costly to compile, and only the
// files that build documents include it (<nlohmann/json.hpp>).
#include <nlohmann/json_fwd.hpp>

namespace kivhost {

using Json = nlohmann::ordered_json;

// The document on one line.
std::string JsonText(const Json& json);

// Small JSON objects, written in order. A key given again takes the new
// value in its first place.
class JsonObject {
public:
    // json: a JSON text, as JsonString, JsonNumber, JsonValues and Done write them.
    JsonObject& Raw(std::string_view key, const std::string& json);
    JsonObject& Text(std::string_view key, std::string_view utf8);
    JsonObject& Number(std::string_view key, long long value);
    JsonObject& Bool(std::string_view key, bool value);
    std::string Done() const;

    JsonObject();
    ~JsonObject();
    JsonObject(const JsonObject& other);
    JsonObject& operator=(const JsonObject& other);

private:
    std::unique_ptr<Json> json_;
};

// A JSON string literal, quotes included.
std::string JsonString(std::string_view utf8);

// A time or rate in ms, to the microsecond: the value "%.3f" writes.
Json MsNumber(double ms);
// The same as JSON text.
std::string JsonNumber(double value);
std::string JsonValues(const std::vector<uint16_t>& values);
// An array of items each written as JSON text already.
std::string JsonArray(const std::vector<std::string>& items);

}  // namespace kivhost

#endif  // DAVODEV_TOOLS_JSON_OBJECT_H
