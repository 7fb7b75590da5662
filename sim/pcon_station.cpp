#include "sim/pcon_station.h"

#include <stdexcept>
#include <utility>

namespace plcsim {

using kivhost::AreaSize;
using kivhost::ElementIndex;
using kivhost::FrameCommand;
using kivhost::FrameOf;
using kivhost::IsByteBitOperand;

namespace {

// Whether the request's run lies in this station's memory: an A or E number
// names a bit there, and the run ends inside its area.
bool InMemory(const PconRequest& request)
{
    if (IsByteBitOperand(request.operand) && ByteBitIndex(request.number) < 0)
        return false;
    return ElementIndex(request.operand, request.number) + request.count <= AreaSize(request.operand);
}

std::string BuildReply(const PconRequest& request, std::string_view echo, std::string_view data)
{
    std::string body = "A" + request.stationDigits;
    body += echo;
    body += data;
    return FrameOf(body);
}

}  // namespace

Memory::Memory() : words_(AreaSize('W'), 0), b_(AreaSize('B'), 0), a_(AreaSize('A'), 0), e_(AreaSize('E'), 0)
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

std::optional<PconRequest> ParseRequest(std::string_view frame)
{
    PconRequest request = kivhost::DecodeRequest(frame);
    if (!request.valid || !request.checksumOk || !InMemory(request))
        return std::nullopt;
    return request;
}

std::optional<std::string> Execute(const PconRequest& request, Memory& memory)
{
    const int first = ElementIndex(request.operand, request.number);
    switch (request.command) {
    case FrameCommand::Read: {
        std::string data;
        for (int i = 0; i < request.count; ++i) {
            if (request.operand == 'W') {
                data += Hex(memory.Word(first + i), 4);
            } else {
                data += memory.Bit(request.operand, first + i) ? '1' : '0';
            }
        }
        return BuildReply(request, request.Echo(), data);
    }
    case FrameCommand::Write: {
        if (request.operand == 'E')
            return std::nullopt;  // inputs are read-only
        for (int i = 0; i < request.count; ++i) {
            const uint16_t value = request.values.at(static_cast<size_t>(i));
            if (request.operand == 'W') {
                memory.SetWord(first + i, value);
            } else {
                memory.SetBit(request.operand, first + i, value != 0);
            }
        }
        return BuildReply(request, request.Echo(), "");
    }
    case FrameCommand::Set:
    case FrameCommand::Reset: {
        const uint16_t mask = static_cast<uint16_t>(1u << request.bit);
        const uint16_t word = memory.Word(first);
        memory.SetWord(first, request.command == FrameCommand::Set ? word | mask : word & ~mask);
        return BuildReply(request, request.Echo(), "");
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

}  // namespace plcsim
