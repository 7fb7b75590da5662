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

std::string JsonObject::Done() const
{
    return JsonText(*json_);
}

JsonObject& JsonObject::Raw(std::string_view key, const std::string& json)
{
    (*json_)[std::string(key)] = Json::parse(json);
    return *this;
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

std::string JsonNumber(double value)
{
    return JsonText(MsNumber(value));
}

std::string JsonValues(const std::vector<uint16_t>& values)
{
    return JsonText(values);
}

std::string JsonArray(const std::vector<std::string>& items)
{
    Json array = Json::array();
    for (const std::string& item : items)
        array.push_back(Json::parse(item));
    return JsonText(array);
}

}  // namespace kivhost
