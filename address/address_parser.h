// Tag address texts such as 01W0010 or 01w00105, checked and turned into the
// compact DriverAddress the host hands back with every read and write.
#ifndef DAVODEV_ADDRESS_PARSER_H
#define DAVODEV_ADDRESS_PARSER_H

#include <cstdint>

#include "davodev.h"

namespace kiv {

enum class ParseMode { Single, Block };

// Reads exactly n characters as one number: decimal for mode 'D', otherwise
// hexadecimal (either case). Any other character, a NUL included, gives -1.
// Up to 7 hex or 9 decimal digits give the number itself; more give its
// low 32 bits (the driver reads at most 4).
int32_t ReadNumber(const char* chars, int n, char mode);

// Checks block->text against the grammar and the tag's type and count and
// fills block->address. A rejection leaves the fields already written as
// they are.
int32_t ParseAddress(AddressParseBlock* block, ParseMode mode);

// True for an address whose fields fit a request frame: station 1 to 32,
// operand W, B, A or E, a 16-bit number (A and E: byte below 0x20, bit 0 to
// 7) and a bit of NO_BIT or 0 to 15. The I/O commands refuse any other.
// Wider than what the parser produces: a B address with a bit, or a W bit
// with a count above 1, passes too, and still makes a whole frame (the bit
// of a B address is not used; a write to a W bit sets or resets that bit).
bool IsFrameableAddress(const DriverAddress& address);

}  // namespace kiv

#endif  // DAVODEV_ADDRESS_PARSER_H
