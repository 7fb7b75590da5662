// Request frames of the PCON_NET protocol and the data of read replies.
// Pure formatting and parsing: no port, no traces.
#ifndef DAVODEV_FRAMES_H
#define DAVODEV_FRAMES_H

#include <cstdint>

#include "host_api/davodev.h"

namespace kiv {

constexpr uint32_t READ_REPLY_HEADER = 7;  // "/A", station, echo, first data character
constexpr uint32_t WRITE_REPLY_LENGTH = 9;
constexpr uint32_t READ_REPLY_DATA_START = 6;

// True for an address whose fields fit a request frame: station 1 to 32,
// operand W, B, A or E, a 16-bit number (A and E: byte below 0x20, bit 0 to
// 7) and a bit of NO_BIT or 0 to 15. The I/O commands refuse any other.
// Wider than what the parser produces: a B address with a bit, or a W bit
// with a count above 1, passes too, and still makes a whole frame (the bit
// of a B address is not used; a write to a W bit sets or resets that bit).
bool IsFrameableAddress(const DriverAddress& address);

// The frames below assume a count from 0 to 255 and a frameable address;
// the commands check both before building.
uint32_t BuildReadFrame(const IoBlock& io, uint8_t* frame);
// A set/reset of one bit for a W address with a bit, otherwise a write.
uint32_t BuildWriteFrame(const IoBlock& io, uint8_t* frame);

// Characters of a read reply after its 7-character header.
uint32_t ReadReplyRest(const IoBlock& io);

// Fills io.values from the data part of a read reply.
int32_t DecodeReplyData(const IoBlock& io, const uint8_t* data);

}  // namespace kiv

#endif  // DAVODEV_FRAMES_H
