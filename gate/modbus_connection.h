// What the Modbus server keeps of each client, and the limits it holds
// them to; shared by the server's files, not by its users.
#ifndef KIVGATE_MODBUS_CONNECTION_H
#define KIVGATE_MODBUS_CONNECTION_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <string>
#include <vector>

#include <modbus.h>

#include "gate/modbus_server.h"
#include "gate/write_queue.h"

namespace kivgate {

// Transaction, protocol, length, unit: the TCP frame around a PDU.
constexpr size_t MBAP_BYTES = MODBUS_TCP_MAX_ADU_LENGTH - MODBUS_MAX_PDU_LENGTH;
constexpr size_t READ_CHUNK = 1024;
// A client that sends requests and reads no answers stops being read once
// this much waits for it; its idle time-out then ends it.
constexpr size_t OUT_MAX = 16 * 1024;
constexpr int POLL_MS = 200;      // idle clients checked this often
constexpr int WRITE_POLL_MS = 5;  // a station's answer to a write is looked for this often

struct ModbusServer::Connection {
    int fd = -1;
    std::string peer;
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    // Idle from here: connected, a whole request taken, or a write answered.
    std::chrono::steady_clock::time_point lastRequest;
    // The first byte of what `in` holds, when it is not a whole request yet.
    std::chrono::steady_clock::time_point requestStarted;
    // A write under way: answered with reply (after header) once every
    // future is ready; the client's further requests wait in `in`.
    std::vector<std::future<WriteResult>> pending;
    uint64_t batch = 0;
    std::vector<std::string> parts;  // the tags written, for the log
    uint8_t header[MBAP_BYTES] = {};
    std::vector<uint8_t> reply;
};

// "a, b, c"
std::string Joined(const std::vector<std::string>& names);

}  // namespace kivgate

#endif  // KIVGATE_MODBUS_CONNECTION_H
