#include "gate/start_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "common/bounded_file.h"

namespace kivgate {
namespace {

constexpr size_t PASSWORD_BYTES_MAX = 4096;
// Larger than any CA bundle; a file past it is not one.
constexpr size_t TLS_FILE_BYTES_MAX = 16 * 1024 * 1024;

// The file's content, or why it cannot be had ("what PATH: why").
std::string ReadSmall(const char* what, const std::string& path, size_t maxBytes, std::string* content)
{
    std::string why;
    switch (kivhost::ReadFileUpTo(path, maxBytes, content, &why, kivhost::FileKinds::RegularOnly)) {
    case kivhost::FileRead::Done: return {};
    case kivhost::FileRead::TooLarge:
        return std::string("cannot read ") + what + " " + path + ": it is larger than " +
               (maxBytes < 1024 * 1024 ? std::to_string(maxBytes / 1024) + " KB"
                                       : std::to_string(maxBytes / 1024 / 1024) + " MB");
    default: return std::string("cannot read ") + what + " " + path + ": " + why;
    }
}

std::string FirstLine(const std::string& text)
{
    return text.substr(0, text.find_first_of("\r\n"));
}

bool Blank(const std::string& text)
{
    return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

// Not there at all; a file that is there but cannot be looked at is
// read, and the reading says why.
bool Absent(const std::string& path)
{
    struct stat status {};
    return stat(path.c_str(), &status) != 0 && errno == ENOENT;
}

// The credential's path, when systemd gave the service one by that name.
std::string CredentialPath(const char* (*getEnv)(const char*), const char* name)
{
    const char* directory = getEnv("CREDENTIALS_DIRECTORY");
    if (directory == nullptr || *directory == '\0')
        return {};
    return std::string(directory) + "/" + name;
}

}  // namespace

std::string TakeSecrets(const std::string* passwordFile, const char* (*getEnv)(const char*), GateOptions& gate)
{
    std::string content;
    const std::string passwordCredential = CredentialPath(getEnv, PASSWORD_CREDENTIAL);
    const std::string keyCredential = CredentialPath(getEnv, KEY_CREDENTIAL);
    if (passwordFile != nullptr) {
        if (std::string why = ReadSmall("the password file", *passwordFile, PASSWORD_BYTES_MAX, &content); !why.empty())
            return why;
        gate.mqttPassword = FirstLine(content);
    } else if (!passwordCredential.empty() && !Absent(passwordCredential)) {
        if (std::string why = ReadSmall("the password credential", passwordCredential, PASSWORD_BYTES_MAX, &content);
            !why.empty())
            return why;
        if (!Blank(content))
            gate.mqttPassword = FirstLine(content);
    }
    if (gate.mqttPassword.empty() && passwordFile == nullptr)
        if (const char* password = getEnv("KIVGATE_MQTT_PASSWORD"); password != nullptr)
            gate.mqttPassword = password;
    // A key belongs to a certificate: without one, a credential left over
    // must not turn TLS on.
    if (gate.mqttKeyFile.empty() && !gate.mqttCertFile.empty() && !keyCredential.empty() && !Absent(keyCredential)) {
        if (std::string why = ReadSmall("the key credential", keyCredential, TLS_FILE_BYTES_MAX, &content);
            !why.empty())
            return why;
        if (!Blank(content))
            gate.mqttKeyFile = keyCredential;
    }
    return {};
}

std::string UnreadableTlsFile(const GateOptions& gate)
{
    const std::pair<const char*, const std::string*> files[] = {
        {"the TLS CA file", &gate.mqttCaFile},
        {"the TLS certificate file", &gate.mqttCertFile},
        {"the TLS key file", &gate.mqttKeyFile},
    };
    std::string content;
    for (const auto& [what, path] : files)
        if (!path->empty())
            if (std::string why = ReadSmall(what, *path, TLS_FILE_BYTES_MAX, &content); !why.empty())
                return why;
    return {};
}

}  // namespace kivgate
