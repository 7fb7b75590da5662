// Where a run of elements lives: W and B number their elements 0 to 0xFFFF,
// A and E hold 32 bytes of 8 bits each, named byte << 4 | bit. A run goes on
// element by element, for A and E bit by bit and on into the next byte.
#ifndef KIVHOST_ADDRESS_AREA_H
#define KIVHOST_ADDRESS_AREA_H

#include <cstdint>
#include <string>

#include "host_api/davodev.h"

namespace kivhost {

constexpr int32_t WORD_AREA_SIZE = 0x10000;                 // W and B
constexpr int32_t BYTE_BIT_BYTES = 32;                      // A and E: bytes 0x00 to 0x1F
constexpr int32_t BYTE_BIT_AREA_SIZE = BYTE_BIT_BYTES * 8;  // their bits, in run order

bool IsByteBitOperand(int32_t operand);
// Elements in the operand's area.
int32_t AreaSize(int32_t operand);
// The element's place in its area: the number for W and B, byte * 8 + bit
// for A and E. A bit above 7 is not refused: it counts on into later bytes.
int32_t ElementIndex(int32_t operand, int32_t number);
int32_t ElementIndex(const DriverAddress& address);
// The place of an A or E number in its area, as ElementIndex; -1 when the
// number names no bit there (a bit above 7, a byte above 0x1F).
int32_t ByteBitIndex(int32_t number);
// The address number of the element at index: the inverse of ElementIndex.
int32_t ElementNumber(int32_t operand, int32_t index);

// Whether count elements from address stay inside its area. If not, why,
// in one line for people, e.g. for 01WFFFF and 2 elements.
bool RunFitsArea(const DriverAddress& address, int32_t count, std::string* why);

// The address text of element i of a run starting at address, e.g.
// 01W0011 for element 1 of 01W0010, 02A0200 for element 1 of 02A01F7.
std::string ElementAddress(const DriverAddress& address, int index);

}  // namespace kivhost

#endif  // KIVHOST_ADDRESS_AREA_H
