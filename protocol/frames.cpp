#include "protocol/frames.h"

#include "address/address_parser.h"

namespace kiv {
namespace {

constexpr uint8_t CR = 0x0D;

bool IsWordOperand(const DriverAddress& address)
{
    return address.operand == 'W';
}

// Appends characters to a frame and sums the checksum as it goes.
class FrameWriter {
public:
    explicit FrameWriter(uint8_t* frame) : frame_(frame) { frame_[length_++] = '/'; }

    void Char(char c)
    {
        frame_[length_++] = static_cast<uint8_t>(c);
        sum_ += static_cast<uint8_t>(c);
    }

    void Hex(uint32_t value, int digits)
    {
        static constexpr char DIGITS[] = "0123456789ABCDEF";
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
            Char(DIGITS[(value >> shift) & 0xF]);
    }

    // The byte-and-bit form for A and E, the plain four digits for B and W.
    void AddressField(const DriverAddress& address)
    {
        if (address.operand == 'A' || address.operand == 'E') {
            Hex(static_cast<uint32_t>(address.number) >> 4, 2);
            Char(',');
            Hex(static_cast<uint32_t>(address.number) & 0xF, 1);
        } else {
            Hex(static_cast<uint32_t>(address.number), 4);
        }
    }

    uint32_t Finish()
    {
        const uint8_t checksum = sum_;
        Hex(checksum, 2);
        frame_[length_++] = CR;
        return length_;
    }

private:
    uint8_t* frame_;
    uint32_t length_ = 0;
    uint8_t sum_ = 0;  // wraps modulo 256 on purpose
};

bool BitOfRun(const uint16_t* values, int32_t i)
{
    return (values[i / 16] >> (i % 16)) & 1;
}

}  // namespace

bool IsFrameableAddress(const DriverAddress& address)
{
    if (address.station < 1 || address.station > 32)
        return false;
    if (address.number < 0 || address.number > 0xFFFF)
        return false;
    if (address.bit != NO_BIT && (address.bit < 0 || address.bit > 15))
        return false;
    switch (address.operand) {
    case 'W':
    case 'B': return true;
    case 'A':
    case 'E': return (address.number & 0xFE0F) <= 7;
    default: return false;
    }
}

uint32_t BuildReadFrame(const IoBlock& io, uint8_t* frame)
{
    FrameWriter w(frame);
    w.Hex(io.address.station, 2);
    w.Char('R');
    w.Char(static_cast<char>(io.address.operand));
    w.AddressField(io.address);
    w.Hex(io.count, 2);
    return w.Finish();
}

uint32_t BuildWriteFrame(const IoBlock& io, uint8_t* frame)
{
    const DriverAddress& address = io.address;
    FrameWriter w(frame);
    w.Hex(address.station, 2);

    if (IsWordOperand(address) && address.bit != NO_BIT) {
        w.Char('X');
        w.Char('1');
        w.Hex(address.number, 4);
        w.Hex(address.bit, 1);
        w.Char((io.values[1] & 1) ? 's' : 'r');
        return w.Finish();
    }

    w.Char('S');
    w.Char(static_cast<char>(address.operand));
    w.AddressField(address);
    w.Hex(io.count, 2);
    if (io.count == 1) {
        if (IsWordOperand(address))
            w.Hex(io.values[1], 4);
        else
            w.Char((io.values[1] & 1) ? '1' : '0');
    } else {
        for (int32_t i = 0; i < io.count; ++i) {
            if (IsWordOperand(address))
                w.Hex(io.values[i], 4);
            else
                w.Char(BitOfRun(io.values, i) ? '1' : '0');
        }
    }
    return w.Finish();
}

uint32_t ReadReplyRest(const IoBlock& io)
{
    const uint32_t count = static_cast<uint32_t>(io.count);
    return IsWordOperand(io.address) ? count * 4 + 2 : count + 2;
}

int32_t DecodeReplyData(const IoBlock& io, const uint8_t* data)
{
    const char* text = reinterpret_cast<const char*>(data);
    uint16_t* values = io.values;

    if (IsWordOperand(io.address)) {
        // A digit that is not hexadecimal reads as -1, stored as 0xFFFF.
        if (io.count == 1) {
            values[1] = static_cast<uint16_t>(ReadNumber(text, 4, 'H'));
        } else {
            for (int32_t i = 0; i < io.count; ++i)
                values[i] = static_cast<uint16_t>(ReadNumber(text + 4 * i, 4, 'H'));
        }
        return SUCCESS;
    }

    if (io.count == 1) {
        values[1] = static_cast<uint16_t>(data[0] - 0x30);
        return SUCCESS;
    }
    for (int32_t i = 0; i < io.count; ++i) {
        if (i % 16 == 0)
            values[i / 16] = 0;
        if (text[i] == '1')
            values[i / 16] |= static_cast<uint16_t>(1u << (i % 16));
    }
    return SUCCESS;
}

}  // namespace kiv
