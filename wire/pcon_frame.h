// PCON_NET frames as they appear on the line, taken apart for people: the
// requests a host sends, the replies a station gives, and the verdict on one
// attempt as the driver would reach it. Pure: no port, no driver.
#ifndef KIVHOST_PCON_FRAME_H
#define KIVHOST_PCON_FRAME_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/exchange.h"
#include "protocol/frames.h"

namespace kivhost {

constexpr char FRAME_START = '/';
constexpr char FRAME_END = '\r';
// The driver's own numbers, where the tools judge by them: the attempts of
// one exchange, and the characters of a read reply it takes first (its
// header and the first data character) before it asks for the rest.
constexpr int ATTEMPTS_PER_EXCHANGE = kiv::MAX_ATTEMPTS;
constexpr size_t READ_REPLY_HEADER = kiv::READ_REPLY_HEADER;
// A read request is 14 characters whatever it reads: "/", station, "R",
// operand, four address characters, count, checksum, CR.
constexpr size_t READ_REQUEST_BYTES = 14;
// A reply is "/", the acknowledgement, the two station digits, two echo
// characters (R or S and the operand, or X1), a read's data, two checksum
// digits and CR.
constexpr size_t REPLY_DATA_START = 6;
constexpr size_t REPLY_OVERHEAD = 9;  // all but the data
constexpr size_t FRAME_TRAILER = 3;   // checksum digits and CR, in requests and replies alike

enum class FrameCommand { Read, Write, Set, Reset };
// "read", "write", "set", "reset"
const char* FrameCommandName(FrameCommand command);

struct PconRequest {
    bool valid = false;
    std::string error;  // why not, when not valid: short sentence for people

    int station = 0;            // the two station digits, 0 to 255
    std::string stationDigits;  // as sent: a station echoes them character for character
    FrameCommand command = FrameCommand::Read;
    char operand = 0;  // 'W', 'B', 'A' or 'E'; 'W' for set and reset
    int number = 0;    // W and B: 0 to 0xFFFF; A and E: byte << 4 | bit
    int bit = -1;      // set and reset: the bit of the word; -1 otherwise
    int count = 0;     // elements; 1 for set and reset
    // Write: the elements sent (words, or bits as 0 and 1); set and reset: 1 or 0.
    std::vector<uint16_t> values;

    bool checksumPresent = false;  // two hex digits after the fields
    bool checksumOk = false;       // and they are the sum of the characters after "/"
    bool endsWithCr = false;

    bool IsRead() const { return command == FrameCommand::Read; }
    bool IsBitOperand() const { return operand != 'W'; }
    // The host's tag form: 01W0010, 02A01F7, 01W00105 for a bit of a word.
    std::string Address() const;
    // Characters of the whole reply the driver waits for: 9 plus the data of a read.
    size_t ReplyLength() const;
    // What a station's reply repeats of it at positions 4 and 5: "R" or "S"
    // and the operand, or "X1" for set and reset.
    std::string Echo() const;
};

// A frame as it was sent, CR included or not: the grammar of requests, the
// same for the tools that read a line and for the simulated stations. Anything
// that is not a request of this protocol comes back not valid, with the
// reason. Hex digits may be lower case; a missing checksum, a wrong one, and
// an A or E byte and bit outside the area still decode, for people to see: a
// station refuses those itself.
PconRequest DecodeRequest(std::string_view frame);

// "/", two hex digits and a command letter: the start of a request rather
// than of a reply, whose second character is the acknowledgement.
bool LooksLikeRequest(std::string_view frame);

struct PconReply {
    bool framed = false;          // position 0 is "/"
    bool acknowledged = false;    // position 1 is "A"
    int stationEcho = -1;         // positions 2 and 3 read as hex, -1 if they are not
    bool stationMatches = false;  // the same two characters as the request's station digits
    std::string echo;             // positions 4 and 5, as far as they came
    bool echoMatches = false;     // both came and are the request's Echo
    bool complete = false;        // at least as long as the request's reply
    // A read's elements as the host receives them: words (0xFFFF where the
    // digits are not hex), bits 0 or 1; only elements wholly received.
    std::vector<uint16_t> values;
    bool dataOk = false;  // every element of a complete read read cleanly
    // The rule of requests applied to the reply's last three characters
    // (two hex digits of the sum of the characters between "/" and them,
    // then CR). The driver does not judge it; kivhost may.
    bool checksumPresent = false;
    bool checksumOk = false;
};

// The reply as far as it was received, read against the request it answers.
PconReply DecodeReply(std::string_view reply, const PconRequest& request);

// Why an attempt failed, or that it did not.
enum class Outcome {
    Good,
    NoReply,       // nothing came back
    Short,         // less than the driver waits for
    Nak,           // position 1 is not "A"
    WrongStation,  // a read answered with another station's digits
    Garbled,       // not a reply of this protocol: no "/", or a zero byte in the header
    NotSent,       // the frame could not be written: no reception followed
};
// "good", "no-reply", "short", "nak", "wrong-station", "garbled", "not-sent"
const char* OutcomeName(Outcome outcome);

// The verdict on one attempt from all the reply characters received for it,
// with the driver's checks in the driver's order. Characters beyond the
// expected length are left out, as the driver leaves them unread.
Outcome JudgeReply(const PconRequest& request, std::string_view reply);

// Numbers attempts as the driver makes them: the same frame again after a
// failure is a retry, up to four in all; anything else starts an exchange.
class AttemptCounter {
public:
    // The attempt number of this frame within its exchange, 1 to 4.
    int Next(std::string_view request);
    // The outcome of the attempt numbered last: after a good one, or the
    // fourth, the next frame starts a new exchange whatever it is.
    void Judged(Outcome outcome);
    // Whether the exchange of the last numbered attempt has ended.
    bool ExchangeOver() const { return over_; }
    // Forget the exchange: the next frame starts a new one.
    void Reset();

private:
    std::string last_;
    int attempt_ = 0;
    bool over_ = true;
};

// The sum of the characters' codes modulo 256: the rule of the checksum,
// over the characters between "/" and the checksum digits.
uint8_t FrameSum(std::string_view characters);
// The frame of body: "/", body, its checksum in two upper-case digits, CR.
std::string FrameOf(std::string_view body);
// Writes the checksum of a reply anew after its characters were changed;
// anything shorter than a reply is left as it is.
void FixReplyChecksum(std::string& reply);

}  // namespace kivhost

#endif  // KIVHOST_PCON_FRAME_H
