// The Modbus TCP side of the gateway section: libmodbus's own server
// answering a map from memory, the baseline, and the clients that load a
// server on loopback, each on a thread of its own with its connection kept
// from round to round.
#ifndef DAVODEV_KIVBENCH_MODBUS_LOAD_H
#define DAVODEV_KIVBENCH_MODBUS_LOAD_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

typedef struct _modbus modbus_t;
typedef struct _modbus_mapping_t modbus_mapping_t;

namespace kivbench {

// libmodbus as its documentation serves several clients: one thread, the
// sockets polled, modbus_receive and modbus_reply on the one that is ready.
class LibmodbusServer {
public:
    LibmodbusServer(const std::vector<uint16_t>& registers, const std::vector<uint8_t>& coils);
    ~LibmodbusServer();
    LibmodbusServer(const LibmodbusServer&) = delete;
    LibmodbusServer& operator=(const LibmodbusServer&) = delete;

    uint16_t Port() const { return port_; }

private:
    void Serve();

    modbus_t* context_ = nullptr;
    modbus_mapping_t* mapping_ = nullptr;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::thread thread_;
};

// What a round of requests gave.
struct LoadRound {
    double seconds = 0;
    uint64_t requests = 0;
    uint64_t failures = 0;          // an error or an exception
    std::vector<double> latencyUs;  // of every request
};

// Clients on one server, connected once. A request reads the whole map,
// the registers and the coils in turn.
class ModbusClients {
public:
    ModbusClients(uint16_t port, int clients, uint16_t registers, uint16_t coils);
    ~ModbusClients();
    ModbusClients(const ModbusClients&) = delete;
    ModbusClients& operator=(const ModbusClients&) = delete;

    // Every client makes `requests` requests, pause apart (zero: back to
    // back), all at once; the seconds from the first to the last.
    LoadRound Round(int requests, std::chrono::microseconds pause = std::chrono::microseconds(0));
    // What one client read, to check the two servers answer alike.
    bool Read(std::vector<uint16_t>* registers, std::vector<uint8_t>* coils);

private:
    std::vector<modbus_t*> contexts_;
    uint16_t registers_;
    uint16_t coils_;
};

// The pth percentile of values, sorted in place.
double Percentile(std::vector<double>& values, double p);

}  // namespace kivbench

#endif  // DAVODEV_KIVBENCH_MODBUS_LOAD_H
