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

}  // namespace kiv

#endif  // DAVODEV_ADDRESS_PARSER_H
