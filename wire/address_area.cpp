#include "wire/address_area.h"

#include "wire/hex_digits.h"

namespace kivhost {

bool IsByteBitOperand(int32_t operand)
{
    return operand == 'A' || operand == 'E';
}

int32_t AreaSize(int32_t operand)
{
    return IsByteBitOperand(operand) ? BYTE_BIT_AREA_SIZE : WORD_AREA_SIZE;
}

int32_t ElementIndex(int32_t operand, int32_t number)
{
    if (IsByteBitOperand(operand))
        return (number >> 4) * 8 + (number & 0xF);
    return number;
}

int32_t ElementIndex(const DriverAddress& address)
{
    return ElementIndex(address.operand, address.number);
}

int32_t ByteBitIndex(int32_t number)
{
    if (number < 0 || (number & 0xF) > 7 || number >> 4 >= BYTE_BIT_BYTES)
        return -1;
    return ElementIndex('A', number);
}

int32_t ElementNumber(int32_t operand, int32_t index)
{
    if (IsByteBitOperand(operand))
        return (index / 8) << 4 | index % 8;
    return index;
}

bool RunFitsArea(const DriverAddress& address, int32_t count, std::string* why)
{
    const int32_t first = ElementIndex(address);
    const int32_t room = AreaSize(address.operand) - first;
    if (count <= room)
        return true;
    if (why) {
        DriverAddress start = address;
        start.bit = NO_BIT;
        const char operand = static_cast<char>(address.operand);
        if (room <= 0) {
            *why = ElementAddress(start, 0) + " lies outside the " + operand + " area";
            return false;
        }
        *why = "a run of " + std::to_string(count) + " from " + ElementAddress(start, 0) + " goes past " +
               ElementAddress(start, room - 1) + ", the last of the " + operand + " area: at most " +
               std::to_string(room) + (room == 1 ? " element" : " elements") + " from there";
    }
    return false;
}

std::string ElementAddress(const DriverAddress& address, int index)
{
    const std::string station = Hex(static_cast<unsigned>(address.station), 2);
    const char operand = static_cast<char>(address.operand);
    if (IsByteBitOperand(operand)) {
        // A run of bytes and bits goes on bit by bit, eight to a byte.
        const int32_t number = ElementNumber(operand, ElementIndex(address) + index);
        return station + operand + Hex(static_cast<unsigned>(number), 4);
    }
    std::string text = station + operand + Hex(static_cast<unsigned>(address.number + index) & 0xFFFF, 4);
    if (address.bit != NO_BIT)
        text += Hex(static_cast<unsigned>(address.bit), 1);
    return text;
}

}  // namespace kivhost
