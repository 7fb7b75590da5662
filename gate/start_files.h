// The secrets and files a start reads before anything is opened: the
// broker's password and the TLS client key, from an option, a systemd
// credential or the environment; and the TLS files, each checked readable
// so that a service that cannot read one stops at once, naming it, instead
// of failing at every restart.
#ifndef KIVGATE_START_FILES_H
#define KIVGATE_START_FILES_H

#include <string>

#include "gate/gate_options.h"

namespace kivgate {

// The credentials' names, as the units load them.
inline constexpr const char* PASSWORD_CREDENTIAL = "mqtt-password";
inline constexpr const char* KEY_CREDENTIAL = "mqtt-key";

// The password, first found: --mqtt-password-file (passwordFile, when
// given), the credential mqtt-password in $CREDENTIALS_DIRECTORY, then
// $KIVGATE_MQTT_PASSWORD; each its first line. The key: --mqtt-keyfile,
// else the credential mqtt-key where --mqtt-certfile is given. A blank
// credential (the units' stand-in for a missing file) is none. gate holds
// the options given; "" or why a file cannot be read.
std::string TakeSecrets(const std::string* passwordFile, const char* (*getEnv)(const char*), GateOptions& gate);

// The first TLS file (CA, certificate, key) that cannot be read, named,
// with why; "" when all can.
std::string UnreadableTlsFile(const GateOptions& gate);

}  // namespace kivgate

#endif  // KIVGATE_START_FILES_H
