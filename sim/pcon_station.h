// The station side of the line protocol: request parsing, checksum, memory
// and reply building. No I/O here, so all of it is testable on strings.
#ifndef DAVODEV_PLCSIM_PCON_STATION_H
#define DAVODEV_PLCSIM_PCON_STATION_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hex_digits.h"

namespace plcsim {

inline constexpr int WORD_COUNT = 0x10000;
inline constexpr int B_COUNT = 0x10000;
inline constexpr int BYTE_BIT_BYTES = 32;                  // A and E: bytes 0x00..0x1F
inline constexpr int BYTE_BIT_COUNT = BYTE_BIT_BYTES * 8;  // bits in byte*8+bit order

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

// Tag-style A/E number (byte << 4 | bit, bit 0..7) to run index, or -1.
int ByteBitIndex(int number);

enum class Command { Read, Write, SetReset };

struct Request {
    std::string stationDigits;  // as sent, echoed in the reply
    int station = 0;
    Command command = Command::Read;
    char operand = 'W';  // W, B, A, E; W for set/reset
    int index = 0;       // W/B number, or A/E run index
    int count = 0;       // 1 for set/reset
    std::string data;    // write data as sent
    int bit = 0;         // set/reset: bit within the word
    bool set = false;    // set/reset: 's' sets, 'r' clears
};

// Sum of the character codes, modulo 256.
uint8_t Checksum(std::string_view text);

using kivhost::Hex;
using kivhost::HexDigit;
using kivhost::HexValue;

// Parses one frame: from "/" through the checksum, with or without the final
// CR. Empty on a bad checksum, unknown command, malformed field or a run
// outside memory: such requests get no reply.
std::optional<Request> ParseRequest(std::string_view frame);

// Applies the request to memory and builds the reply, CR included.
// Empty when the station refuses it (a write to E).
std::optional<std::string> Execute(const Request& request, Memory& memory);

// ParseRequest then Execute, ignoring which station is addressed.
std::optional<std::string> HandleRequest(std::string_view frame, Memory& memory);

// Where the data of a reply starts and how long it is: replies are "/A",
// two station digits, two echo characters, data, two checksum digits, CR.
inline constexpr size_t REPLY_DATA_START = 6;
inline constexpr size_t REPLY_OVERHEAD = 9;

// Recomputes the checksum of a reply after its characters were changed.
void FixReplyChecksum(std::string& reply);

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_PCON_STATION_H
