// Who kivgate is to its broker, and how soon it knocks again after the
// broker let it in and then closed the door: what another client with the
// same id does to it, taking the session over at each of its own connects.
#ifndef KIVGATE_MQTT_IDENTITY_H
#define KIVGATE_MQTT_IDENTITY_H

#include <chrono>
#include <string>
#include <string_view>

namespace kivgate {

// At most this many characters: brokers must take short ids, most take
// this, and a cut id keeps a hash of the whole so that it stays distinct.
constexpr size_t CLIENT_ID_MAX = 64;

// "kivgate-HOST-PREFIX" of letters, digits, '-' and '_' (any other byte
// becomes '-'): two gateways on one host differ by their prefixes, which
// must differ anyway or they would publish over each other.
std::string DefaultClientId(std::string_view host, std::string_view prefix);
// Why an id given by the user cannot be sent in a CONNECT (empty, longer
// than 65535 bytes, not UTF-8, control characters), or "" when it can.
std::string ClientIdProblem(std::string_view id);
// This machine's name, or "host" when it has none.
std::string HostName();

// libmosquitto's reconnect delay grows over failed attempts only and starts
// again at every connection the broker accepts, so a broker that accepts
// and then closes each time would be knocked on every first delay for
// ever. The first delay after a lost connection is therefore doubled for
// each connection in a row that stood less than STEADY, and back to FIRST_S
// after one that stood longer; libmosquitto grows it from there while the
// broker stays away.
class ReconnectBackoff {
public:
    static constexpr unsigned FIRST_S = 1;
    static constexpr unsigned LAST_S = 30;
    static constexpr std::chrono::seconds STEADY{60};

    // A connection lost after it stood this long: the first delay, in
    // seconds, before the next attempt.
    unsigned Lost(std::chrono::steady_clock::duration stood);
    // Connections in a row that stood less than STEADY.
    unsigned ShortInRow() const { return shortInRow_; }

private:
    unsigned shortInRow_ = 0;
};

}  // namespace kivgate

#endif  // KIVGATE_MQTT_IDENTITY_H
