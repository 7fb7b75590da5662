// A whole read or write through KivMain over the fake port: ColdStart, one
// I/O command, CloseCom. The port's reads hand out the rest of the fuzz input
// in chunks the input decides; a read of nothing is a time-out, in virtual
// time. Checked on every input:
//   - every frame written is whole ("/", checksum, CR) and every retry sends
//     the same frame, at most four times;
//   - RECOVERY_ERROR: four attempts, values untouched;
//   - SUCCESS of a read: the bytes read since the last frame went out are a
//     reply with the right header and length, and exactly the elements the
//     count covers hold what that reply says;
//   - SUCCESS of a write: the reply was 9 bytes with "A" at position 1, and
//     values are never written;
//   - nothing outside the records changes: guards around the ChannelBlock,
//     the IoBlock and the values; the IoBlock itself stays as it was.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "host_api/davodev.h"
#include "tests/fake_serial_platform.h"

namespace {

using kiv::fake::FakeDevice;
using kiv::fake::FakeOp;

constexpr char PORT_NAME[] = "FUZZ";

// Control bytes in the line stream, read where the port is asked for input.
constexpr uint8_t READ_TIMES_OUT = 0xFF;  // a read that gets nothing
constexpr uint8_t READ_FAILS = 0xFE;
constexpr uint8_t WRITE_FAILS = 0xFA;  // taken only where a write happens
constexpr uint8_t WRITE_SHORT = 0xF9;
constexpr uint8_t INPUT_WAITING = 0xFC;  // taken only where the port is asked what waits
constexpr uint8_t CLEAR_FAILS = 0xFB;

struct Line {
    fuzz::Input* in = nullptr;
    int writes = 0;
    std::vector<uint8_t> firstFrame;
    bool framesDiffer = false;
    std::vector<uint8_t> readSinceWrite;  // what the port handed out after the last frame
};

Line line;

// Each call on the port takes its outcome from the line stream as it begins.
void DecideCall(FakeDevice& port, FakeOp op, const uint8_t* data, uint32_t n)
{
    fuzz::Input& in = *line.in;
    switch (op) {
    case FakeOp::ClearError:
        if (in.Peek() == CLEAR_FAILS) {
            in.Byte();
            port.ScriptClearError(false);
        } else if (in.Peek() == INPUT_WAITING) {
            in.Byte();
            port.ScriptClearError(true, 600);
        } else {
            port.ScriptClearError(true, 0);
        }
        break;
    case FakeOp::Read: {
        if (in.AtEnd()) {
            port.ScriptRead(true);  // the line has gone quiet: every read times out
            break;
        }
        const uint8_t control = in.Byte();
        if (control == READ_FAILS || control == READ_TIMES_OUT) {
            port.ScriptRead(control == READ_TIMES_OUT);
            break;
        }
        size_t take = control;
        if (take > n)
            take = n;
        if (take > in.Left())
            take = in.Left();
        port.ScriptRead(true, std::string(reinterpret_cast<const char*>(in.Here()), take));
        line.readSinceWrite.insert(line.readSinceWrite.end(), in.Here(), in.Here() + take);
        in.Skip(take);
        break;
    }
    case FakeOp::Write:
        if (line.writes == 0)
            line.firstFrame.assign(data, data + n);
        else if (line.firstFrame != std::vector<uint8_t>(data, data + n))
            line.framesDiffer = true;
        ++line.writes;
        line.readSinceWrite.clear();
        port.writeLimit = UINT32_MAX;
        if (in.Peek() == WRITE_FAILS) {
            in.Byte();
            port.Fail(FakeOp::Write, 1);
        } else if (in.Peek() == WRITE_SHORT) {
            in.Byte();
            port.writeLimit = n > 0 ? n - 1 : 0;
        }
        break;
    default: break;
    }
}

bool FrameIsWhole(const std::vector<uint8_t>& frame)
{
    if (frame.size() < 6 || frame.size() > 1034 || frame.front() != '/' || frame.back() != 0x0D)
        return false;
    unsigned sum = 0;
    for (size_t i = 1; i + 3 < frame.size(); ++i)
        sum += frame[i];
    return fuzz::HexValue(&frame[frame.size() - 3], 2) == static_cast<int32_t>(sum & 0xFF);
}

constexpr size_t FRONT = 16;
constexpr size_t ELEMENTS = 272;
constexpr uint16_t GUARD = 0xA55A;

// The value the layout puts in element i for a reply's data part.
uint16_t Decoded(const uint8_t* data, int32_t count, bool word, int32_t i)
{
    if (word) {
        const int32_t digits = fuzz::HexValue(data + 4 * (count == 1 ? 0 : i), 4);
        return digits < 0 ? 0xFFFF : static_cast<uint16_t>(digits);
    }
    if (count == 1)
        return static_cast<uint16_t>(data[0] - 0x30);
    uint16_t value = 0;
    for (int32_t bit = 0; bit < 16 && i * 16 + bit < count; ++bit)
        if (data[i * 16 + bit] == '1')
            value |= static_cast<uint16_t>(1u << bit);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietDriverOutput();
    return 0;
}

// Input: command (low 2 bits: SingleRead, BlockRead, SingleWrite,
// BlockWrite), operand (low 2 bits: A, B, E, W), count, station (low 5 bits
// plus 1), number (2 bytes; A and E keep byte 0-1F and bit 0-7), bit (below
// 16 a bit of the word, else none), then the line: at each read of the port
// a control byte, then that many bytes of reply.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const uint32_t COMMANDS[4] = {CMD_SINGLE_READ, CMD_BLOCK_READ, CMD_SINGLE_WRITE, CMD_BLOCK_WRITE};
    static const int32_t OPERANDS[4] = {'A', 'B', 'E', 'W'};

    fuzz::Input in(data, size);
    const uint32_t command = COMMANDS[in.Byte() & 3];
    const int32_t operand = OPERANDS[in.Byte() & 3];
    const int32_t count = in.Byte();
    const int32_t station = (in.Byte() & 31) + 1;
    int32_t number = in.U16();
    if (operand == 'A' || operand == 'E')
        number &= 0x01F7;
    const uint8_t bitByte = in.Byte();
    const int32_t bit = bitByte < 16 ? int32_t{bitByte} : int32_t{NO_BIT};
    const bool read = command == CMD_SINGLE_READ || command == CMD_BLOCK_READ;
    const bool word = operand == 'W';

    line = Line{};
    line.in = &in;
    kiv::fake::FakeSerialPlatform fake;
    FakeDevice& port = fake.AddDevice(PORT_NAME);
    port.onCall = DecideCall;

    fuzz::Guarded<ChannelBlock> channel;
    DriverRequest request{};
    request.channel = &channel.value;

    ColdStartBlock start{};
    std::memcpy(start.portName, PORT_NAME, sizeof PORT_NAME);
    start.enable = 1;
    start.timeout = 5;
    start.settings = PortSettings{9600, 8, 0, 0};
    request.code = CMD_COLD_START;
    request.params = &start;
    FUZZ_CHECK(KivMain(&request) == SUCCESS);
    FUZZ_CHECK(fake.DeviceOf(channel.value.portHandle) == &port);
    const ChannelBlock opened = channel.value;

    std::vector<uint16_t> storage(FRONT + ELEMENTS, GUARD);
    uint16_t* values = storage.data() + FRONT;
    for (size_t i = 0; i < ELEMENTS; ++i)
        values[i] = static_cast<uint16_t>(GUARD ^ (i * 0x0101));  // what a write sends
    const std::vector<uint16_t> valuesBefore = storage;

    fuzz::Guarded<IoBlock> io;
    std::memset(&io.value, 0x77, sizeof io.value);
    io.value.address = DriverAddress{station, operand, number, bit, word ? 16 : 1};
    io.value.count = count;
    io.value.values = values;
    const IoBlock ioBefore = io.value;

    request.code = command;
    request.params = &io.value;
    const int32_t result = KivMain(&request);

    FUZZ_CHECK(channel.GuardsIntact());
    FUZZ_CHECK(io.GuardsIntact());
    FUZZ_CHECK(std::memcmp(&io.value, &ioBefore, sizeof ioBefore) == 0);
    // An exchange uses the channel's two areas and nothing else of it.
    FUZZ_CHECK(std::memcmp(&channel.value, &opened, offsetof(ChannelBlock, txArea)) == 0);
    FUZZ_CHECK(!line.framesDiffer);
    FUZZ_CHECK(line.writes <= 4);
    if (line.writes > 0)
        FUZZ_CHECK(FrameIsWhole(line.firstFrame));

    if (!read && operand == 'E') {
        FUZZ_CHECK(result == REJECTED);
        FUZZ_CHECK(line.writes == 0);
    } else if (result == RECOVERY_ERROR) {
        FUZZ_CHECK(line.writes == 4);
    } else {
        FUZZ_CHECK(result == SUCCESS);
        FUZZ_CHECK(line.writes >= 1);
    }

    if (!read || result != SUCCESS) {
        FUZZ_CHECK(storage == valuesBefore);
    } else {
        const std::vector<uint8_t>& reply = line.readSinceWrite;
        const size_t rest = word ? 4u * static_cast<size_t>(count) + 2 : static_cast<size_t>(count) + 2;
        FUZZ_CHECK(reply.size() == 7 + rest);
        FUZZ_CHECK(reply[0] == '/' && reply[1] == 'A');
        FUZZ_CHECK(reply[2] == line.firstFrame[1] && reply[3] == line.firstFrame[2]);

        // What the values must hold: the covered elements decoded, and for a
        // SingleRead of a bit, element 1 reduced to that bit.
        std::vector<uint16_t> want = valuesBefore;
        uint16_t* wantValues = want.data() + FRONT;
        int32_t first = 0, last = 0;
        if (count == 1) {
            first = 1;
            last = 2;
        } else if (count > 1) {
            last = word ? count : (count + 15) / 16;
        }
        for (int32_t i = first; i < last; ++i)
            wantValues[i] = Decoded(&reply[6], count, word, i);
        if (command == CMD_SINGLE_READ && bit != NO_BIT)
            wantValues[1] = static_cast<uint16_t>((wantValues[1] >> bit) & 1);
        FUZZ_CHECK(storage == want);
    }
    if (!read && result == SUCCESS) {
        FUZZ_CHECK(line.readSinceWrite.size() == 9 && line.readSinceWrite[1] == 'A');
    }

    request.code = CMD_CLOSE_COM;
    request.params = nullptr;
    FUZZ_CHECK(KivMain(&request) == SUCCESS);
    FUZZ_CHECK(!port.isOpen());
    FUZZ_CHECK(channel.value.portHandle == 0 && channel.value.portEnabled == 0);
    FUZZ_CHECK(channel.GuardsIntact());
    return 0;
}
