#include "common/json_object.h"

#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>

namespace kivhost {

std::string JsonText(const Json& json)
{
    // Bytes from the line or a user's file need not be UTF-8; a result is
    // still written.
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

JsonObject::JsonObject() : json_(std::make_unique<Json>(Json::object()))
{
}

JsonObject::~JsonObject() = default;

JsonObject::JsonObject(const JsonObject& other) : json_(std::make_unique<Json>(*other.json_))
{
}

JsonObject& JsonObject::operator=(const JsonObject& other)
{
    *json_ = *other.json_;
    return *this;
}

bool JsonObject::Empty() const
{
    return json_->empty();
}

std::string JsonObject::Done() const
{
    return JsonText(*json_);
}

JsonObject& JsonObject::Value(std::string_view key, const Json& value)
{
    (*json_)[std::string(key)] = value;
    return *this;
}

JsonObject& JsonObject::Ms(std::string_view key, double ms)
{
    return Value(key, MsNumber(ms));
}

JsonObject& JsonObject::Values(std::string_view key, const std::vector<uint16_t>& values)
{
    return Value(key, values);
}

JsonObject& JsonObject::Texts(std::string_view key, const std::vector<std::string>& utf8)
{
    return Value(key, utf8);
}

JsonObject& JsonObject::Object(std::string_view key, const JsonObject& object)
{
    return Value(key, object.Document());
}

JsonObject& JsonObject::Objects(std::string_view key, const std::vector<JsonObject>& objects)
{
    Json array = Json::array();
    for (const JsonObject& object : objects)
        array.push_back(object.Document());
    return Value(key, array);
}

JsonObject& JsonObject::Text(std::string_view key, std::string_view utf8)
{
    (*json_)[std::string(key)] = std::string(utf8);
    return *this;
}

JsonObject& JsonObject::Number(std::string_view key, long long value)
{
    (*json_)[std::string(key)] = value;
    return *this;
}

JsonObject& JsonObject::Bool(std::string_view key, bool value)
{
    (*json_)[std::string(key)] = value;
    return *this;
}

std::string JsonString(std::string_view utf8)
{
    return JsonText(std::string(utf8));
}

Json MsNumber(double ms)
{
    // Rounded as printf rounds, then read back: the very value a reader of
    // "%.3f" gets.
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", ms);
    return std::strtod(text, nullptr);
}

}  // namespace kivhost
