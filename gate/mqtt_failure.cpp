#include "gate/mqtt_failure.h"

#include <cstring>

#include <mosquitto.h>
#include <mqtt_protocol.h>

namespace kivgate {

std::string Clause(std::string text)
{
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    return text;
}

std::string MosquittoWhy(int rc, int savedErrno)
{
    // libmosquitto has no words of its own for this one.
    if (rc == MOSQ_ERR_KEEPALIVE)
        return "no answer within the keep-alive: is the broker frozen or the network down?";
    return Clause(rc == MOSQ_ERR_ERRNO ? std::strerror(savedErrno) : mosquitto_strerror(rc));
}

bool NoMoreTries(int rc)
{
    switch (rc) {
    case MOSQ_ERR_NOMEM:
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_INVAL:
    case MOSQ_ERR_NOT_FOUND:
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_PAYLOAD_SIZE:
    case MOSQ_ERR_NOT_SUPPORTED:
    case MOSQ_ERR_AUTH:
    case MOSQ_ERR_ACL_DENIED:
    case MOSQ_ERR_UNKNOWN:
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_PROXY: return true;
    default: return false;
    }
}

std::string AttemptFailure(const std::string& broker, int rc, int savedErrno)
{
    switch (rc) {
    // The keep-alive ran out while the CONNECT waited for its answer: a
    // frozen broker, or a server that takes any connection and waits.
    case MOSQ_ERR_KEEPALIVE:
        return "the broker at " + broker + " accepted the connection but did not answer: is it an MQTT broker?";
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_MALFORMED_PACKET:
        return "the broker at " + broker +
               " accepted the connection but answered what is not MQTT: " + "is it an MQTT broker?";
    // Before the CONNACK: a web server, say, that answered its own way and
    // hung up.
    case MOSQ_ERR_CONN_LOST:
        return "the broker at " + broker +
               " accepted the connection and closed it without answering: " + "is it an MQTT broker?";
    default: return "broker " + broker + " not reachable: " + MosquittoWhy(rc, savedErrno);
    }
}

std::string RefusalWhy(int rc, bool v5, const std::string& clientId)
{
    const bool badId = v5 ? rc == MQTT_RC_CLIENTID_NOT_VALID : rc == CONNACK_REFUSED_IDENTIFIER_REJECTED;
    const std::string words = Clause(v5 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc));
    if (badId)
        return "refused the client id \"" + clientId + "\" (" + words + "): give another with --mqtt-client-id";
    return "refused the connection: " + words;
}

}  // namespace kivgate
