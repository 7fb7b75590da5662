// The Modbus side's rules, apart from any socket: where each register and
// coil lives among the gateway's tags, and what a request's answer is given
// the last snapshot. Reads are answered from the snapshot alone; a write
// becomes WriteRequests for the line's owner, and its answer waits for the
// station.
#ifndef KIVGATE_MODBUS_MAP_H
#define KIVGATE_MODBUS_MAP_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "gate/gate_state.h"

namespace kivgate {

// The exceptions are libmodbus's MODBUS_EXCEPTION_* codes, as the gateway
// uses them: ILLEGAL_FUNCTION; ILLEGAL_DATA_ADDRESS, unmapped or not
// writable here; ILLEGAL_DATA_VALUE, a quantity out of range, a coil value
// not 0x0000/0xFF00 or a write of one word of a 32-bit value; SLAVE_OR_SERVER_FAILURE, a write sent that the station
// did not confirm, or done only in part; SLAVE_OR_SERVER_BUSY, the write
// queue full or closed; GATEWAY_TARGET, a value not good or too old, or a
// write not sent: no stale value is served as if fresh.

class ModbusMap {
public:
    // Each tag's elements from its first register or coil on. Overlaps and
    // runs past 65535 are the configuration's to refuse; here the first tag
    // on a register keeps it and the rest of a run past the end is dropped.
    explicit ModbusMap(const std::vector<GateTag>& tags);

    struct Cell {
        size_t tag = 0;
        size_t element = 0;
    };
    std::optional<Cell> Find(Space space, uint32_t address) const;

    const std::vector<GateTag>& Tags() const { return tags_; }

private:
    struct Range {
        uint32_t first = 0;
        uint32_t count = 0;
        size_t tag = 0;
    };
    std::vector<GateTag> tags_;
    std::array<std::vector<Range>, 4> spaces_;  // by Space, sorted by first
};

struct ModbusAnswer {
    enum class Kind {
        Reply,      // send pdu now
        Write,      // queue writes; send pdu once every one is done
        Malformed,  // not a request: close the connection
    };
    Kind kind = Kind::Reply;
    std::vector<uint8_t> pdu;
    std::vector<WriteRequest> writes;  // one per tag touched, in address order
    std::string why;                   // of Malformed, or of a write refused, for the log
};

// One request PDU (function code first, no MBAP header); now: for the
// values' age.
ModbusAnswer AnswerRequest(std::span<const uint8_t> pdu, const ModbusMap& map, const Snapshot& snapshot,
                           bool allowWrites, SteadyTime now = std::chrono::steady_clock::now());

std::vector<uint8_t> ExceptionPdu(uint8_t function, uint8_t code);

}  // namespace kivgate

#endif  // KIVGATE_MODBUS_MAP_H
