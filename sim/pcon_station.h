// The station side of the line protocol: which requests a station answers,
// its memory, and the replies it builds. The grammar, the checksum and the
// A/E layout are the tools' own (wire/); no I/O here, so all of it is
// testable on strings.
#ifndef DAVODEV_PLCSIM_PCON_STATION_H
#define DAVODEV_PLCSIM_PCON_STATION_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "wire/address_area.h"
#include "wire/hex_digits.h"
#include "wire/pcon_frame.h"

namespace plcsim {

using kivhost::ByteBitIndex;
using kivhost::FixReplyChecksum;
using kivhost::FrameSum;
using kivhost::Hex;
using kivhost::HexDigit;
using kivhost::HexValue;
using kivhost::PconRequest;
using kivhost::REPLY_DATA_START;
using kivhost::REPLY_OVERHEAD;

// One station's memory, all zero at start. Bits of A and E are indexed in
// run order (byte * 8 + bit); ByteBitIndex converts a tag-style number.
class Memory {
public:
    Memory();

    uint16_t Word(int index) const { return words_.at(index); }
    void SetWord(int index, uint16_t value) { words_.at(index) = value; }

    // operand is 'B', 'A' or 'E'; index as above. Throws std::out_of_range.
    bool Bit(char operand, int index) const;
    void SetBit(char operand, int index, bool value);

private:
    std::vector<uint8_t>& BitsOf(char operand);
    const std::vector<uint8_t>& BitsOf(char operand) const;

    std::vector<uint16_t> words_;
    std::vector<uint8_t> b_;
    std::vector<uint8_t> a_;
    std::vector<uint8_t> e_;
};

// One frame, from "/" through the checksum, with or without the final CR,
// as a request this station carries out. Empty when the grammar refuses it,
// when its checksum is missing or wrong, or when its run lies outside memory
// (an A or E bit above 7 included): such requests get no reply.
std::optional<PconRequest> ParseRequest(std::string_view frame);

// Applies a request from ParseRequest to memory and builds the reply, CR
// included. Empty when the station refuses it (a write to E).
std::optional<std::string> Execute(const PconRequest& request, Memory& memory);

// ParseRequest then Execute, ignoring which station is addressed.
std::optional<std::string> HandleRequest(std::string_view frame, Memory& memory);

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_PCON_STATION_H
