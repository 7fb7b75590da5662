#include "pcon_station.h"

#include <stdexcept>
#include <utility>

#include "number_rules.h"

namespace plcsim {

namespace {

int RunLength(char operand)
{
    switch (operand) {
    case 'W': return WORD_COUNT;
    case 'B': return B_COUNT;
    default: return BYTE_BIT_COUNT;
    }
}

bool IsOperand(char c)
{
    return c == 'W' || c == 'B' || c == 'A' || c == 'E';
}

// Cursor over the frame body; every Take fails once the body runs short.
class Fields {
public:
    explicit Fields(std::string_view text) : text_(text) {}

    std::optional<std::string_view> Take(size_t n)
    {
        if (text_.size() - pos_ < n)
            return std::nullopt;
        std::string_view part = text_.substr(pos_, n);
        pos_ += n;
        return part;
    }
    int TakeHex(size_t n)
    {
        const auto part = Take(n);
        return part ? HexValue(*part) : -1;
    }
    std::optional<char> TakeChar()
    {
        const auto part = Take(1);
        if (!part)
            return std::nullopt;
        return (*part)[0];
    }
    std::string_view Rest() const { return text_.substr(pos_); }
    bool AtEnd() const { return pos_ == text_.size(); }

private:
    std::string_view text_;
    size_t pos_ = 0;
};

// The address field: 4 hex digits for W and B, "BB,b" for A and E.
int TakeAddress(Fields& fields, char operand)
{
    if (operand == 'W' || operand == 'B')
        return fields.TakeHex(4);
    const int byte = fields.TakeHex(2);
    const auto comma = fields.TakeChar();
    const int bit = fields.TakeHex(1);
    if (byte < 0 || comma != ',' || bit < 0)
        return -1;
    if (byte >= BYTE_BIT_BYTES || bit > 7)
        return -1;
    return byte * 8 + bit;
}

bool DataFits(const Request& request)
{
    if (request.operand == 'W') {
        if (request.data.size() != static_cast<size_t>(request.count) * 4)
            return false;
        for (char c : request.data) {
            if (HexDigit(c) < 0)
                return false;
        }
        return true;
    }
    if (request.data.size() != static_cast<size_t>(request.count))
        return false;
    for (char c : request.data) {
        if (c != '0' && c != '1')
            return false;
    }
    return true;
}

std::optional<Request> ParseBody(std::string_view body)
{
    Fields fields(body);
    Request request;
    const auto digits = fields.Take(2);
    if (!digits || HexValue(*digits) < 0)
        return std::nullopt;
    request.stationDigits = std::string(*digits);
    request.station = HexValue(*digits);

    const auto command = fields.TakeChar();
    if (command == 'X') {
        if (fields.TakeChar() != '1')
            return std::nullopt;
        request.command = Command::SetReset;
        request.operand = 'W';
        request.index = fields.TakeHex(4);
        request.bit = fields.TakeHex(1);
        const auto action = fields.TakeChar();
        if (request.index < 0 || request.bit < 0 || !fields.AtEnd())
            return std::nullopt;
        if (action != 's' && action != 'r')
            return std::nullopt;
        request.set = action == 's';
        request.count = 1;
        return request;
    }
    if (command != 'R' && command != 'S')
        return std::nullopt;
    request.command = command == 'R' ? Command::Read : Command::Write;

    const auto operand = fields.TakeChar();
    if (!operand || !IsOperand(*operand))
        return std::nullopt;
    request.operand = *operand;
    request.index = TakeAddress(fields, request.operand);
    request.count = fields.TakeHex(2);
    if (request.index < 0 || request.count < 0)
        return std::nullopt;
    if (request.index + request.count > RunLength(request.operand))
        return std::nullopt;

    if (request.command == Command::Read) {
        if (!fields.AtEnd())
            return std::nullopt;
        return request;
    }
    request.data = std::string(fields.Rest());
    if (!DataFits(request))
        return std::nullopt;
    return request;
}

std::string BuildReply(const Request& request, std::string_view echo, std::string_view data)
{
    std::string body = "A" + request.stationDigits;
    body += echo;
    body += data;
    return "/" + body + Hex(Checksum(body), 2) + "\r";
}

}  // namespace

Memory::Memory() : words_(WORD_COUNT, 0), b_(B_COUNT, 0), a_(BYTE_BIT_COUNT, 0), e_(BYTE_BIT_COUNT, 0)
{
}

std::vector<uint8_t>& Memory::BitsOf(char operand)
{
    return const_cast<std::vector<uint8_t>&>(std::as_const(*this).BitsOf(operand));
}

const std::vector<uint8_t>& Memory::BitsOf(char operand) const
{
    switch (operand) {
    case 'B': return b_;
    case 'A': return a_;
    case 'E': return e_;
    default: throw std::out_of_range(std::string("not a bit operand: ") + operand);
    }
}

bool Memory::Bit(char operand, int index) const
{
    return BitsOf(operand).at(index) != 0;
}

void Memory::SetBit(char operand, int index, bool value)
{
    BitsOf(operand).at(index) = value ? 1 : 0;
}

int ByteBitIndex(int number)
{
    const int byte = number >> 4;
    const int bit = number & 0xF;
    if (number < 0 || byte >= BYTE_BIT_BYTES || bit > 7)
        return -1;
    return byte * 8 + bit;
}

uint8_t Checksum(std::string_view text)
{
    unsigned sum = 0;
    for (char c : text)
        sum += static_cast<unsigned char>(c);
    return static_cast<uint8_t>(sum & 0xFF);
}

std::optional<Request> ParseRequest(std::string_view frame)
{
    if (!frame.empty() && frame.back() == '\r')
        frame.remove_suffix(1);
    // Shortest frame: "/", station, "R", operand, 4 address, 2 count, 2 checksum.
    if (frame.size() < 12 || frame[0] != '/')
        return std::nullopt;
    const std::string_view body = frame.substr(1, frame.size() - 3);
    const int checksum = HexValue(frame.substr(frame.size() - 2));
    if (checksum < 0 || checksum != Checksum(body))
        return std::nullopt;
    return ParseBody(body);
}

std::optional<std::string> Execute(const Request& request, Memory& memory)
{
    switch (request.command) {
    case Command::Read: {
        std::string data;
        for (int i = 0; i < request.count; ++i) {
            if (request.operand == 'W') {
                data += Hex(memory.Word(request.index + i), 4);
            } else {
                data += memory.Bit(request.operand, request.index + i) ? '1' : '0';
            }
        }
        return BuildReply(request, std::string{'R', request.operand}, data);
    }
    case Command::Write: {
        if (request.operand == 'E')
            return std::nullopt;  // inputs are read-only
        for (int i = 0; i < request.count; ++i) {
            if (request.operand == 'W') {
                const auto digits = std::string_view(request.data).substr(i * 4, 4);
                memory.SetWord(request.index + i, static_cast<uint16_t>(HexValue(digits)));
            } else {
                memory.SetBit(request.operand, request.index + i, request.data[i] == '1');
            }
        }
        return BuildReply(request, std::string{'S', request.operand}, "");
    }
    case Command::SetReset: {
        const uint16_t mask = static_cast<uint16_t>(1u << request.bit);
        const uint16_t word = memory.Word(request.index);
        memory.SetWord(request.index, request.set ? word | mask : word & ~mask);
        return BuildReply(request, "X1", "");
    }
    }
    return std::nullopt;
}

std::optional<std::string> HandleRequest(std::string_view frame, Memory& memory)
{
    const auto request = ParseRequest(frame);
    if (!request)
        return std::nullopt;
    return Execute(*request, memory);
}

void FixReplyChecksum(std::string& reply)
{
    if (reply.size() < REPLY_OVERHEAD)
        return;
    const size_t checksumAt = reply.size() - 3;
    const std::string digits = Hex(Checksum(std::string_view(reply).substr(1, checksumAt - 1)), 2);
    reply.replace(checksumAt, 2, digits);
}

}  // namespace plcsim
