#include "wire/pcon_frame.h"

#include <cstdio>

#include "wire/address_area.h"
#include "wire/hex_digits.h"

namespace kivhost {
namespace {

// Takes the fields of a frame from the front.
class FieldReader {
public:
    explicit FieldReader(std::string_view text) : text_(text) {}

    int Hex(size_t digits)
    {
        if (text_.size() - at_ < digits)
            return -1;
        const int value = HexValue(text_.substr(at_, digits));
        if (value >= 0)
            at_ += digits;
        return value;
    }
    bool Char(char c)
    {
        if (at_ >= text_.size() || text_[at_] != c)
            return false;
        ++at_;
        return true;
    }
    char Any() { return at_ < text_.size() ? text_[at_++] : '\0'; }
    size_t At() const { return at_; }
    std::string_view Rest() const { return text_.substr(at_); }

private:
    std::string_view text_;
    size_t at_ = 0;
};

bool IsOperand(char c)
{
    return c == 'W' || c == 'B' || c == 'A' || c == 'E';
}

// The checksum a whole frame ought to carry: the sum of what lies between
// "/" and its trailer.
uint8_t SumOfFrame(std::string_view frame)
{
    return FrameSum(frame.substr(1, frame.size() - 1 - FRAME_TRAILER));
}

PconRequest Invalid(PconRequest request, const char* why)
{
    request.valid = false;
    request.error = why;
    return request;
}

}  // namespace

const char* FrameCommandName(FrameCommand command)
{
    switch (command) {
    case FrameCommand::Read: return "read";
    case FrameCommand::Write: return "write";
    case FrameCommand::Set: return "set";
    case FrameCommand::Reset: return "reset";
    }
    return "?";
}

const char* OutcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Good: return "good";
    case Outcome::NoReply: return "no-reply";
    case Outcome::Short: return "short";
    case Outcome::Nak: return "nak";
    case Outcome::WrongStation: return "wrong-station";
    case Outcome::Garbled: return "garbled";
    case Outcome::NotSent: return "not-sent";
    }
    return "?";
}

uint8_t FrameSum(std::string_view characters)
{
    uint8_t sum = 0;  // wraps modulo 256 on purpose
    for (char c : characters)
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    return sum;
}

std::string FrameOf(std::string_view body)
{
    std::string frame(1, FRAME_START);
    frame += body;
    frame += Hex(FrameSum(body), 2);
    frame += FRAME_END;
    return frame;
}

void FixReplyChecksum(std::string& reply)
{
    if (reply.size() < REPLY_OVERHEAD)
        return;
    reply.replace(reply.size() - FRAME_TRAILER, 2, Hex(SumOfFrame(reply), 2));
}

std::string PconRequest::Address() const
{
    std::string text = Hex(static_cast<unsigned>(station), 2) + operand + Hex(static_cast<unsigned>(number), 4);
    if (bit >= 0)
        text += Hex(static_cast<unsigned>(bit), 1);
    return text;
}

size_t PconRequest::ReplyLength() const
{
    if (!IsRead())
        return REPLY_OVERHEAD;
    return REPLY_OVERHEAD + static_cast<size_t>(count) * (IsBitOperand() ? 1 : 4);
}

std::string PconRequest::Echo() const
{
    switch (command) {
    case FrameCommand::Read: return std::string{'R', operand};
    case FrameCommand::Write: return std::string{'S', operand};
    case FrameCommand::Set:
    case FrameCommand::Reset: break;
    }
    return "X1";
}

bool LooksLikeRequest(std::string_view frame)
{
    if (frame.size() < 4 || frame[0] != FRAME_START)
        return false;
    const char command = frame[3];
    return HexDigit(frame[1]) >= 0 && HexDigit(frame[2]) >= 0 && (command == 'R' || command == 'S' || command == 'X');
}

PconRequest DecodeRequest(std::string_view frame)
{
    PconRequest r;
    if (!frame.empty() && frame.back() == FRAME_END) {
        r.endsWithCr = true;
        frame.remove_suffix(1);
    }
    FieldReader in(frame);
    if (!in.Char(FRAME_START))
        return Invalid(r, "a request starts with \"/\"");
    r.station = in.Hex(2);
    if (r.station < 0)
        return Invalid(r, "the station is not two hex digits");
    r.stationDigits = std::string(frame.substr(1, 2));

    const char command = in.Any();
    if (command == 'X') {
        if (!in.Char('1'))
            return Invalid(r, "X is followed by 1 in a set or reset");
        r.operand = 'W';
        r.number = in.Hex(4);
        r.bit = r.number < 0 ? -1 : in.Hex(1);
        if (r.number < 0 || r.bit < 0)
            return Invalid(r, "a set or reset names a word in four hex digits and a bit in one");
        const char action = in.Any();
        if (action != 's' && action != 'r')
            return Invalid(r, "a set or reset ends in s or r");
        r.command = action == 's' ? FrameCommand::Set : FrameCommand::Reset;
        r.count = 1;
        r.values = {static_cast<uint16_t>(action == 's' ? 1 : 0)};
    } else if (command == 'R' || command == 'S') {
        r.command = command == 'R' ? FrameCommand::Read : FrameCommand::Write;
        r.operand = in.Any();
        if (!IsOperand(r.operand))
            return Invalid(r, "the operand is not W, B, A or E");
        if (IsByteBitOperand(r.operand)) {
            const int byte = in.Hex(2);
            const bool comma = byte >= 0 && in.Char(',');
            const int bit = comma ? in.Hex(1) : -1;
            if (bit < 0)
                return Invalid(r, "A and E name a byte in two hex digits, a comma and a bit");
            r.number = byte << 4 | bit;
        } else {
            r.number = in.Hex(4);
            if (r.number < 0)
                return Invalid(r, "the address is not four hex digits");
        }
        r.count = in.Hex(2);
        if (r.count < 0)
            return Invalid(r, "the count is not two hex digits");
        for (int i = 0; r.command == FrameCommand::Write && i < r.count; ++i) {
            int value = -1;
            if (r.IsBitOperand()) {
                const char c = in.Any();
                value = c == '0' ? 0 : c == '1' ? 1 : -1;
            } else {
                value = in.Hex(4);
            }
            if (value < 0)
                return Invalid(r, r.IsBitOperand()
                                      ? "the data holds fewer bits (0 or 1) than the count says"
                                      : "the data holds fewer words (four hex digits) than the count says");
            r.values.push_back(static_cast<uint16_t>(value));
        }
    } else {
        return Invalid(r, "the command is not R, S or X");
    }

    const std::string_view fields = frame.substr(1, in.At() - 1);
    const std::string_view rest = in.Rest();
    if (rest.size() == 2 && HexValue(rest) >= 0) {
        r.checksumPresent = true;
        r.checksumOk = HexValue(rest) == FrameSum(fields);
    } else if (!rest.empty()) {
        return Invalid(r, rest.size() < 2 ? "the checksum is cut short" : "characters follow where the checksum ends");
    }
    r.valid = true;
    return r;
}

PconReply DecodeReply(std::string_view reply, const PconRequest& request)
{
    PconReply p;
    p.framed = !reply.empty() && reply[0] == FRAME_START;
    p.acknowledged = reply.size() > 1 && reply[1] == 'A';
    if (reply.size() >= 4) {
        p.stationEcho = HexValue(reply.substr(2, 2));
        p.stationMatches = !request.stationDigits.empty() && reply.substr(2, 2) == request.stationDigits;
        p.echo = std::string(reply.substr(4, 2));
        p.echoMatches = request.valid && p.echo == request.Echo();
    }
    const size_t expected = request.valid ? request.ReplyLength() : reply.size();
    p.complete = reply.size() >= expected && expected >= REPLY_OVERHEAD;

    if (request.valid && request.IsRead()) {
        const size_t width = request.IsBitOperand() ? 1 : 4;
        bool clean = true;
        for (int i = 0; i < request.count; ++i) {
            const size_t at = REPLY_DATA_START + static_cast<size_t>(i) * width;
            if (reply.size() < at + width)
                break;
            const std::string_view digits = reply.substr(at, width);
            if (!request.IsBitOperand()) {
                // The driver stores digits that are not hex as 0xFFFF.
                const int value = HexValue(digits);
                clean = clean && value >= 0;
                p.values.push_back(static_cast<uint16_t>(value < 0 ? 0xFFFF : value));
            } else {
                const char c = digits[0];
                clean = clean && (c == '0' || c == '1');
                // One bit is taken as its character's code less "0"; in a
                // run only "1" sets a bit.
                p.values.push_back(request.count == 1 ? static_cast<uint16_t>(static_cast<unsigned char>(c) - 0x30)
                                                      : static_cast<uint16_t>(c == '1'));
            }
        }
        p.dataOk = p.complete && clean;
    }

    if (p.complete) {
        const std::string_view judged = reply.substr(0, expected);
        const std::string_view digits = judged.substr(judged.size() - FRAME_TRAILER, 2);
        p.checksumPresent = HexValue(digits) >= 0;
        p.checksumOk = p.checksumPresent && HexValue(digits) == SumOfFrame(judged);
    }
    return p;
}

Outcome JudgeReply(const PconRequest& request, std::string_view reply)
{
    if (reply.empty())
        return Outcome::NoReply;
    // Bytes that do not even start a reply point at the line (baud, format,
    // noise) rather than at the station: garbled, however few arrived.
    const bool framed = reply[0] == FRAME_START;

    if (request.valid && !request.IsRead()) {
        // A write is judged by its length and acknowledgement alone.
        if (reply.size() < request.ReplyLength())
            return framed ? Outcome::Short : Outcome::Garbled;
        if (reply[1] == 'A')
            return Outcome::Good;
        return framed && reply[1] != '\0' ? Outcome::Nak : Outcome::Garbled;
    }

    if (!framed)
        return Outcome::Garbled;
    // Without a request to go by, the shortest reply stands in for a read's.
    const size_t header = request.valid ? READ_REPLY_HEADER : 4;
    const size_t expected = request.valid ? request.ReplyLength() : REPLY_OVERHEAD;
    if (reply.size() < header)
        return Outcome::Short;
    // A zero byte in the header is no station's answer.
    if (reply.substr(0, 4).find('\0') != std::string_view::npos)
        return Outcome::Garbled;
    if (!request.stationDigits.empty() && reply.substr(2, 2) != request.stationDigits)
        return Outcome::WrongStation;
    if (reply[1] != 'A')
        return Outcome::Nak;
    if (reply.size() < expected)
        return Outcome::Short;
    return Outcome::Good;
}

int AttemptCounter::Next(std::string_view request)
{
    if (over_ || request != last_) {
        attempt_ = 0;
        last_ = request;
    }
    over_ = false;
    return ++attempt_;
}

void AttemptCounter::Judged(Outcome outcome)
{
    if (outcome == Outcome::Good || attempt_ >= ATTEMPTS_PER_EXCHANGE)
        over_ = true;
}

void AttemptCounter::Reset()
{
    last_.clear();
    attempt_ = 0;
    over_ = true;
}

}  // namespace kivhost
