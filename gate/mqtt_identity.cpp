#include "gate/mqtt_identity.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

#include <mosquitto.h>

namespace kivgate {

namespace {

bool Allowed(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// FNV-1a: stable across builds and platforms, which std::hash is not.
uint32_t Fnv1a(std::string_view text)
{
    uint32_t hash = 2166136261u;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash;
}

}  // namespace

std::string ClientIdProblem(std::string_view id)
{
    if (id.empty())
        return "an empty client id: leave the option out for the default";
    if (id.size() > 65535)
        return "a client id is at most 65535 bytes, not " + std::to_string(id.size());
    if (id.find('\0') != std::string_view::npos ||
        mosquitto_validate_utf8(id.data(), static_cast<int>(id.size())) != MOSQ_ERR_SUCCESS)
        return "a client id is UTF-8 without control characters";
    return "";
}

std::string DefaultClientId(std::string_view host, std::string_view prefix)
{
    const std::string whole = "kivgate-" + std::string(host) + "-" + std::string(prefix);
    std::string id = whole;
    std::replace_if(
        id.begin(), id.end(), [](char c) { return !Allowed(c); }, '-');
    if (id.size() <= CLIENT_ID_MAX)
        return id;
    char hash[16];
    std::snprintf(hash, sizeof hash, "-%08x", static_cast<unsigned>(Fnv1a(whole)));
    return id.substr(0, CLIENT_ID_MAX - 9) + hash;
}

std::string HostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "host";
    return name;
}

unsigned ReconnectBackoff::Lost(std::chrono::steady_clock::duration stood)
{
    if (stood >= STEADY) {
        shortInRow_ = 0;
        return FIRST_S;
    }
    ++shortInRow_;
    unsigned delay = FIRST_S;
    for (unsigned i = 1; i < shortInRow_ && delay < LAST_S; ++i)
        delay *= 2;
    return std::min(delay, LAST_S);
}

}  // namespace kivgate
