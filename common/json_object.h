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

// Small JSON objects, written in order, built as documents: no value goes
// through text on the way. A key given again takes the new value in its
// first place.
class JsonObject {
public:
    JsonObject& Text(std::string_view key, std::string_view utf8);
    JsonObject& Number(std::string_view key, long long value);
    JsonObject& Bool(std::string_view key, bool value);
    // A time or rate in ms, as MsNumber writes it.
    JsonObject& Ms(std::string_view key, double ms);
    JsonObject& Values(std::string_view key, const std::vector<uint16_t>& values);
    JsonObject& Texts(std::string_view key, const std::vector<std::string>& utf8);
    JsonObject& Object(std::string_view key, const JsonObject& object);
    JsonObject& Objects(std::string_view key, const std::vector<JsonObject>& objects);
    // Any other value, built where nlohmann-json's whole header is included.
    JsonObject& Value(std::string_view key, const Json& value);
    const Json& Document() const { return *json_; }
    bool Empty() const;
    std::string Done() const;

    JsonObject();
    ~JsonObject();
    JsonObject(const JsonObject& other);
    JsonObject& operator=(const JsonObject& other);

private:
    std::unique_ptr<Json> json_;
};

// A JSON string literal, quotes included: a text quoted in a message.
std::string JsonString(std::string_view utf8);

// A time or rate in ms, to the microsecond: the value "%.3f" writes.
Json MsNumber(double ms);

}  // namespace kivhost

#endif  // DAVODEV_TOOLS_JSON_OBJECT_H
