#include "gate/modbus_map.h"

#include <algorithm>

#include <modbus.h>

namespace kivgate {

namespace {

constexpr uint32_t ADDRESS_END = 65536;
constexpr uint16_t COIL_ON = 0xFF00;
constexpr uint8_t EXCEPTION_BIT = 0x80;  // set in the function code of an exception answer

size_t SpaceIndex(Space space)
{
    return static_cast<size_t>(space);
}

uint16_t Word(std::span<const uint8_t> pdu, size_t at)
{
    return static_cast<uint16_t>(pdu[at] << 8 | pdu[at + 1]);
}

void PutWord(std::vector<uint8_t>& pdu, uint32_t word)
{
    pdu.push_back(static_cast<uint8_t>(word >> 8));
    pdu.push_back(static_cast<uint8_t>(word));
}

ModbusAnswer Malformed(std::string why)
{
    ModbusAnswer answer;
    answer.kind = ModbusAnswer::Kind::Malformed;
    answer.why = std::move(why);
    return answer;
}

ModbusAnswer Refuse(uint8_t function, uint8_t code, std::string why = {})
{
    ModbusAnswer answer;
    answer.pdu = ExceptionPdu(function, code);
    answer.why = std::move(why);
    return answer;
}

bool IsBitSpace(Space space)
{
    return space == Space::Coil || space == Space::DiscreteInput;
}

// Every address in [first, first + count) mapped, in cells; 0 when all are,
// else the exception that refuses the request.
uint8_t Resolve(const ModbusMap& map, Space space, uint32_t first, uint32_t count, std::vector<ModbusMap::Cell>* cells)
{
    if (first + count > ADDRESS_END)
        return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
    cells->clear();
    for (uint32_t address = first; address < first + count; ++address) {
        const std::optional<ModbusMap::Cell> cell = map.Find(space, address);
        if (!cell)
            return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
        cells->push_back(*cell);
    }
    return 0;
}

ModbusAnswer Read(uint8_t function, std::span<const uint8_t> pdu, const ModbusMap& map, const Snapshot& snapshot,
                  SteadyTime now)
{
    static constexpr Space SPACES[] = {Space::Coil, Space::DiscreteInput, Space::HoldingRegister, Space::InputRegister};
    const Space space = SPACES[function - MODBUS_FC_READ_COILS];
    const bool bits = IsBitSpace(space);
    if (pdu.size() != 5)
        return Malformed("a read of " + std::to_string(pdu.size()) + " bytes, not 5");
    const uint32_t first = Word(pdu, 1);
    const uint32_t count = Word(pdu, 3);
    if (count < 1 || count > (bits ? MODBUS_MAX_READ_BITS : MODBUS_MAX_READ_REGISTERS))
        return Refuse(function, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    std::vector<ModbusMap::Cell> cells;
    if (const uint8_t refused = Resolve(map, space, first, count, &cells))
        return Refuse(function, refused);

    ModbusAnswer answer;
    answer.pdu.reserve(2 + count * 2);
    answer.pdu.push_back(function);
    answer.pdu.push_back(static_cast<uint8_t>(bits ? (count + 7) / 8 : count * 2));
    for (size_t i = 0; i < cells.size(); ++i) {
        const ModbusMap::Cell& cell = cells[i];
        // Before the first cycle the snapshot has no tags: not good either.
        if (cell.tag >= snapshot.tags.size())
            return Refuse(function, MODBUS_EXCEPTION_GATEWAY_TARGET);
        const TagValue& tag = snapshot.tags[cell.tag];
        if (snapshot.QualityAt(cell.tag, now) != Quality::Good || cell.element >= tag.values.size())
            return Refuse(function, MODBUS_EXCEPTION_GATEWAY_TARGET);
        const uint16_t value = tag.values[cell.element];
        if (!bits)
            PutWord(answer.pdu, value);
        else if (i % 8 == 0)
            answer.pdu.push_back(value != 0 ? 1 : 0);
        else if (value != 0)
            answer.pdu.back() = static_cast<uint8_t>(answer.pdu.back() | 1 << (i % 8));
    }
    return answer;
}

// The values of a write request, one per address, or the exception.
struct WriteValues {
    Space space = Space::HoldingRegister;
    uint32_t first = 0;
    std::vector<uint16_t> values;
    uint8_t refused = 0;
};

std::optional<WriteValues> DecodeWrite(uint8_t function, std::span<const uint8_t> pdu, std::string* why)
{
    WriteValues write;
    const bool single = function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_SINGLE_REGISTER;
    const bool coils = function == MODBUS_FC_WRITE_SINGLE_COIL || function == MODBUS_FC_WRITE_MULTIPLE_COILS;
    write.space = coils ? Space::Coil : Space::HoldingRegister;
    if (single) {
        if (pdu.size() != 5) {
            *why = "a single write of " + std::to_string(pdu.size()) + " bytes, not 5";
            return std::nullopt;
        }
        write.first = Word(pdu, 1);
        const uint16_t value = Word(pdu, 3);
        if (coils && value != 0 && value != COIL_ON)
            write.refused = MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        write.values.push_back(coils ? (value == COIL_ON ? 1 : 0) : value);
        return write;
    }
    if (pdu.size() < 6 || pdu.size() != 6 + size_t{pdu[5]}) {
        *why = "a multiple write whose byte count does not match its length";
        return std::nullopt;
    }
    write.first = Word(pdu, 1);
    const uint32_t count = Word(pdu, 3);
    const uint32_t bytes = pdu[5];
    if (count < 1 || count > (coils ? MODBUS_MAX_WRITE_BITS : MODBUS_MAX_WRITE_REGISTERS) ||
        bytes != (coils ? (count + 7) / 8 : count * 2)) {
        write.refused = MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
        return write;
    }
    for (uint32_t i = 0; i < count; ++i)
        write.values.push_back(coils ? (pdu[6 + i / 8] >> (i % 8) & 1) : Word(pdu, 6 + i * 2));
    return write;
}

ModbusAnswer Write(uint8_t function, std::span<const uint8_t> pdu, const ModbusMap& map, bool allowWrites)
{
    std::string why;
    const std::optional<WriteValues> write = DecodeWrite(function, pdu, &why);
    if (!write)
        return Malformed(why);
    const std::string where = (write->space == Space::Coil ? "coil:" : "hr:") + std::to_string(write->first);
    if (write->refused != 0)
        return Refuse(function, write->refused, "a quantity or value out of range at " + where);
    std::vector<ModbusMap::Cell> cells;
    if (const uint8_t refused = Resolve(map, write->space, write->first, write->values.size(), &cells))
        return Refuse(function, refused,
                      std::to_string(write->values.size()) + " from " + where + " are not all mapped");

    ModbusAnswer answer;
    answer.kind = ModbusAnswer::Kind::Write;
    for (size_t i = 0; i < cells.size(); ++i) {
        const ModbusMap::Cell& cell = cells[i];
        // Read-only by default: a write needs both the option and the tag's rw.
        if (!allowWrites || !map.Tags()[cell.tag].writable)
            return Refuse(function, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS,
                          !allowWrites ? "writes are not allowed (--allow-writes)"
                                       : map.Tags()[cell.tag].tag.name + " is read-only");
        const bool continues = !answer.writes.empty() && answer.writes.back().tag == cell.tag &&
                               answer.writes.back().offset + answer.writes.back().values.size() == cell.element;
        if (!continues)
            answer.writes.push_back(WriteRequest{cell.tag, cell.element, {}, {}});
        answer.writes.back().values.push_back(write->values[i]);
    }
    // A 32-bit value is written whole: half of one would pair a new word with
    // an old one into a value no client asked for.
    for (const WriteRequest& request : answer.writes) {
        const size_t words = static_cast<size_t>(map.Tags()[request.tag].format.Words());
        if (request.offset % words != 0 || request.values.size() % words != 0)
            return Refuse(function, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    }
    // The single writes echo the request; the multiple ones its address and quantity.
    answer.pdu.assign(pdu.begin(), pdu.begin() + 5);
    return answer;
}

}  // namespace

ModbusMap::ModbusMap(const std::vector<GateTag>& tags) : tags_(tags)
{
    for (size_t i = 0; i < tags.size(); ++i) {
        const GateTag& tag = tags[i];
        const uint32_t count = static_cast<uint32_t>(std::max<int32_t>(tag.tag.count, 1));
        const uint32_t end = std::min<uint32_t>(uint32_t{tag.first} + count, ADDRESS_END);
        std::vector<Range>& ranges = spaces_[SpaceIndex(tag.space)];
        const bool taken = std::any_of(ranges.begin(), ranges.end(), [&](const Range& range) {
            return tag.first < range.first + range.count && range.first < end;
        });
        if (!taken)
            ranges.push_back(Range{tag.first, end - tag.first, i});
    }
    for (std::vector<Range>& ranges : spaces_)
        std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) { return a.first < b.first; });
}

std::optional<ModbusMap::Cell> ModbusMap::Find(Space space, uint32_t address) const
{
    const std::vector<Range>& ranges = spaces_[SpaceIndex(space)];
    auto after = std::upper_bound(ranges.begin(), ranges.end(), address,
                                  [](uint32_t value, const Range& range) { return value < range.first; });
    if (after == ranges.begin())
        return std::nullopt;
    const Range& range = *(after - 1);
    if (address >= range.first + range.count)
        return std::nullopt;
    return Cell{range.tag, address - range.first};
}

std::vector<uint8_t> ExceptionPdu(uint8_t function, uint8_t code)
{
    return {static_cast<uint8_t>(function | EXCEPTION_BIT), code};
}

ModbusAnswer AnswerRequest(std::span<const uint8_t> pdu, const ModbusMap& map, const Snapshot& snapshot,
                           bool allowWrites, SteadyTime now)
{
    if (pdu.empty())
        return Malformed("an empty request");
    const uint8_t function = pdu[0];
    // No exception answer can name such a function: any answer would read
    // as an exception to another one.
    if ((function & EXCEPTION_BIT) != 0)
        return Malformed("function code " + std::to_string(function) + ", which only an exception answer carries");
    switch (function) {
    case MODBUS_FC_READ_COILS:
    case MODBUS_FC_READ_DISCRETE_INPUTS:
    case MODBUS_FC_READ_HOLDING_REGISTERS:
    case MODBUS_FC_READ_INPUT_REGISTERS: return Read(function, pdu, map, snapshot, now);
    case MODBUS_FC_WRITE_SINGLE_COIL:
    case MODBUS_FC_WRITE_SINGLE_REGISTER:
    case MODBUS_FC_WRITE_MULTIPLE_COILS:
    case MODBUS_FC_WRITE_MULTIPLE_REGISTERS: return Write(function, pdu, map, allowWrites);
    default: return Refuse(function, MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
    }
}

}  // namespace kivgate
