// One request and its reply on a channel: sending and receiving with their
// byte traces, and the read and write exchanges with their retries.
#ifndef DAVODEV_EXCHANGE_H
#define DAVODEV_EXCHANGE_H

#include <cstdint>

#include "host_api/davodev.h"

namespace kiv {

constexpr int MAX_ATTEMPTS = 4;
constexpr uint32_t TRACE_LINE = 33;

// Prints bytes on standard output in lines of 33, CR shown as "."; with
// logLines, each full line also goes to the host log.
void TraceDump(const uint8_t* bytes, uint32_t n, bool logLines);

int32_t Send(ChannelBlock& channel, const uint8_t* frame, uint32_t n);
int32_t Receive(ChannelBlock& channel, uint8_t* buffer, uint32_t* got, uint32_t want);

// The IoBlock must have been checked: count 0 to 255, a frameable address.
int32_t ReadExchange(ChannelBlock& channel, const IoBlock& io);
int32_t WriteExchange(ChannelBlock& channel, const IoBlock& io);

}  // namespace kiv

#endif  // DAVODEV_EXCHANGE_H
