// How kivgate words what went wrong with its broker: libmosquitto's codes
// become sentences that name the cause a reader can act on.
#ifndef KIVGATE_MQTT_FAILURE_H
#define KIVGATE_MQTT_FAILURE_H

#include <string>

namespace kivgate {

constexpr char NO_MORE_TRIES[] = "; no more tries: restart kivgate once this is mended";
constexpr char TRYING_AGAIN[] = "; trying again";

// The library's sentences end in a full stop, which would stand before
// "; trying again".
std::string Clause(std::string text);
// libmosquitto's words for a code, or the system's for MOSQ_ERR_ERRNO.
std::string MosquittoWhy(int rc, int savedErrno);
// The failures of a connection after which libmosquitto's thread makes no
// more attempts: the log must not promise another.
bool NoMoreTries(int rc);

// Why an attempt ended before the broker said yes, after "broker H:P":
// a peer that took the connection and then said nothing, or nothing of
// MQTT, is named as what it likely is rather than as a library code.
std::string AttemptFailure(const std::string& broker, int rc, int savedErrno);
// Why the broker said no to a CONNECT (a reason code of either protocol
// version), naming the client id when it was the id it would not take.
std::string RefusalWhy(int rc, bool v5, const std::string& clientId);

}  // namespace kivgate

#endif  // KIVGATE_MQTT_FAILURE_H
