// kivgate's Modbus request rules over any PDU, with a small map and a
// snapshot whose qualities the input chooses. Beyond "no crash": an answer
// is a well-formed PDU of its function, or one of the exceptions the rules
// name; a read served is the snapshot's values and only good ones; a write
// is queued only with the option, on rw tags, inside each tag and with the
// request's values; a malformed request says why.
#include <cstdint>
#include <vector>

#include <modbus.h>

#include "fuzz/fuzz_support.h"
#include "gate/modbus_map.h"

namespace {

using kivgate::GateTag;
using kivgate::ModbusAnswer;
using kivgate::Quality;
using kivgate::Space;

GateTag MakeTag(Space space, uint16_t first, int count, bool writable)
{
    GateTag tag;
    tag.tag.name = "t" + std::to_string(first);
    tag.tag.count = count;
    tag.space = space;
    tag.first = first;
    tag.writable = writable;
    return tag;
}

const std::vector<GateTag>& Tags()
{
    static const std::vector<GateTag> tags = {
        MakeTag(Space::HoldingRegister, 0, 1, true), MakeTag(Space::HoldingRegister, 1, 4, false),
        MakeTag(Space::HoldingRegister, 5, 3, true), MakeTag(Space::HoldingRegister, 65534, 2, true),
        MakeTag(Space::InputRegister, 0, 2, false),  MakeTag(Space::Coil, 0, 12, true),
        MakeTag(Space::Coil, 12, 1, false),          MakeTag(Space::DiscreteInput, 3, 9, false),
    };
    return tags;
}

bool IsBits(Space space)
{
    return space == Space::Coil || space == Space::DiscreteInput;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

// Input: a flags byte (bit 0 writes allowed, bit 1 before the first cycle),
// one byte per tag choosing its quality (its low 3 bits as Quality), then
// the request PDU.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input input(data, size);
    const uint8_t flags = input.Byte();
    const bool allowWrites = (flags & 1) != 0;
    const std::vector<GateTag>& tags = Tags();
    kivgate::Snapshot snapshot;
    if ((flags & 2) == 0) {
        snapshot.cycle = 1;
        for (size_t i = 0; i < tags.size(); ++i) {
            kivgate::TagValue value;
            value.quality = static_cast<Quality>(input.Byte() % 6);
            for (int element = 0; element < tags[i].tag.count; ++element)
                value.values.push_back(IsBits(tags[i].space) ? (i + element) % 2
                                                             : static_cast<uint16_t>(i * 1000 + element));
            snapshot.tags.push_back(value);
        }
    }
    const size_t used = std::min(size, size_t{1} + (snapshot.cycle != 0 ? tags.size() : 0));
    const std::vector<uint8_t> pdu(data + used, data + size);

    const kivgate::ModbusMap map(tags);
    const ModbusAnswer answer = kivgate::AnswerRequest(pdu, map, snapshot, allowWrites);
    if (answer.kind == ModbusAnswer::Kind::Malformed) {
        FUZZ_CHECK(!answer.why.empty() && answer.pdu.empty() && answer.writes.empty());
        return 0;
    }
    FUZZ_CHECK(!pdu.empty() && !answer.pdu.empty() && answer.pdu.size() <= MODBUS_MAX_PDU_LENGTH);
    const uint8_t function = pdu[0];
    if (answer.pdu[0] & 0x80) {
        FUZZ_CHECK(answer.kind == ModbusAnswer::Kind::Reply && answer.writes.empty());
        FUZZ_CHECK(answer.pdu.size() == 2 && answer.pdu[0] == (function | 0x80));
        const uint8_t code = answer.pdu[1];
        FUZZ_CHECK(code == MODBUS_EXCEPTION_ILLEGAL_FUNCTION || code == MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS ||
                   code == MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE || code == MODBUS_EXCEPTION_GATEWAY_TARGET);
        FUZZ_CHECK(code != MODBUS_EXCEPTION_GATEWAY_TARGET || function <= MODBUS_FC_READ_INPUT_REGISTERS);
        return 0;
    }
    FUZZ_CHECK(answer.pdu[0] == function &&
               (function <= MODBUS_FC_WRITE_SINGLE_REGISTER || function == MODBUS_FC_WRITE_MULTIPLE_COILS ||
                function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS));
    const uint32_t first = pdu[1] << 8 | pdu[2];
    const uint32_t count = pdu[3] << 8 | pdu[4];
    if (function <= MODBUS_FC_READ_INPUT_REGISTERS) {
        static constexpr Space SPACES[] = {Space::Coil, Space::DiscreteInput, Space::HoldingRegister,
                                           Space::InputRegister};
        const Space space = SPACES[function - 1];
        FUZZ_CHECK(answer.kind == ModbusAnswer::Kind::Reply && answer.writes.empty());
        FUZZ_CHECK(answer.pdu[1] == answer.pdu.size() - 2);
        FUZZ_CHECK(answer.pdu[1] == (IsBits(space) ? (count + 7) / 8 : count * 2));
        for (uint32_t i = 0; i < count; ++i) {
            const auto cell = map.Find(space, first + i);
            FUZZ_CHECK(cell.has_value());
            const kivgate::TagValue& value = snapshot.tags.at(cell->tag);
            FUZZ_CHECK(value.quality == Quality::Good);
            const uint16_t served = IsBits(space)
                                        ? (answer.pdu[2 + i / 8] >> (i % 8) & 1)
                                        : static_cast<uint16_t>(answer.pdu[2 + i * 2] << 8 | answer.pdu[3 + i * 2]);
            FUZZ_CHECK(served == value.values.at(cell->element));
        }
        return 0;
    }
    // A write: queued only as allowed, its values the request's, address by address.
    FUZZ_CHECK(answer.kind == ModbusAnswer::Kind::Write && allowWrites && !answer.writes.empty());
    FUZZ_CHECK(answer.pdu == std::vector<uint8_t>(pdu.begin(), pdu.begin() + 5));
    const bool coils = function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_MULTIPLE_COILS;
    const bool single = function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_SINGLE_REGISTER;
    std::vector<uint16_t> values;
    for (const kivgate::WriteRequest& write : answer.writes) {
        const GateTag& tag = tags.at(write.tag);
        FUZZ_CHECK(tag.writable && tag.space == (coils ? Space::Coil : Space::HoldingRegister));
        FUZZ_CHECK(!write.values.empty() && write.offset + write.values.size() <= size_t(tag.tag.count));
        FUZZ_CHECK(tag.first + write.offset == first + values.size());
        values.insert(values.end(), write.values.begin(), write.values.end());
    }
    for (size_t i = 0; i < values.size(); ++i) {
        uint16_t asked = 0;
        if (single)
            asked = coils ? (count == 0xFF00 ? 1 : 0) : static_cast<uint16_t>(count);
        else
            asked =
                coils ? (pdu[6 + i / 8] >> (i % 8) & 1) : static_cast<uint16_t>(pdu[6 + i * 2] << 8 | pdu[7 + i * 2]);
        FUZZ_CHECK(values[i] == asked);
    }
    FUZZ_CHECK(values.size() == (single ? 1 : count));
    return 0;
}
