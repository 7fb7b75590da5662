// The Modbus TCP server: one thread polls the listening socket and its
// clients. Reads are answered from the latest snapshot at once; a write is
// handed to the line's owner and its client waits for the station's answer
// while the other clients go on being served.
#ifndef KIVGATE_MODBUS_SERVER_H
#define KIVGATE_MODBUS_SERVER_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gate/event_log.h"
#include "gate/gate_metrics.h"
#include "gate/gate_options.h"
#include "gate/gate_state.h"
#include "gate/modbus_map.h"
#include "gate/modbus_units.h"

namespace kivgate {

struct ModbusSettings {
    std::string host = DEFAULT_MODBUS_HOST;   // "" : every address
    uint16_t port = DEFAULT_MODBUS_PORT;      // 0: any free one (Port() says which)
    int maxClients = DEFAULT_MODBUS_CLIENTS;  // one more takes the place of the one idle longest
    int idleS = DEFAULT_MODBUS_IDLE_S;        // a client with no whole request this long is closed
    int requestS = DEFAULT_MODBUS_REQUEST_S;  // a request not whole this long after its first byte closes its client
    bool allowWrites = false;
    ModbusUnits units;               // the unit ids answered; the others get exception 0A
    GateMetrics* metrics = nullptr;  // none: not counted
};

class ModbusServer {
public:
    // Each connection's start and end at debug, a write refused at info.
    using Log = EventLog;
    ModbusServer(ModbusSettings settings, const std::vector<GateTag>& tags, SnapshotStore& snapshots,
                 WriteQueue& writes, Log log);
    ~ModbusServer();
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    // Binds and starts serving; false with why when the address cannot be had.
    bool Start(std::string* why);
    // After a Start refused: true when no restart can mend it (listen_refusal.h).
    bool RefusedBySetUp() const { return refusedBySetUp_; }
    // Ends the thread within one poll and closes every connection; the
    // writes still waiting are answered first (Modbus exception 0B).
    void Stop();
    // The port bound, once started.
    uint16_t Port() const { return port_; }
    // The clients connected now, from any thread.
    size_t Clients() const { return clients_; }

    struct Connection;

private:
    void Run();
    void Accept();
    // Room for one more client: the one idle longest closed; false when
    // every client waits for a write.
    bool MakeRoom(const std::string& peer);
    // False when the connection is to be closed for its time; reason says why.
    bool InTime(const Connection& connection, std::chrono::steady_clock::time_point now, std::string* reason) const;
    // On stopping: every write waiting answered, and sent within a bound.
    void AnswerWaiting();
    // False when the connection is to be closed; reason says why.
    bool Receive(Connection& connection, std::string* reason);
    bool Serve(Connection& connection, std::string* reason);
    void FinishWrite(Connection& connection);
    bool Flush(Connection& connection, std::string* reason);
    void Close(size_t index, const std::string& reason);

    ModbusSettings settings_;
    ModbusMap map_;
    SnapshotStore& snapshots_;
    WriteQueue& writes_;
    Log log_;

    int listener_ = -1;
    int wake_[2] = {-1, -1};  // Stop writes to [1]; the loop polls [0]
    uint16_t port_ = 0;
    bool refusedBySetUp_ = false;
    std::chrono::steady_clock::time_point acceptPausedUntil_{};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::atomic<size_t> clients_{0};  // connections_.size(), for other threads
    // After a connection came or went.
    void Counted();
};

}  // namespace kivgate

#endif  // KIVGATE_MODBUS_SERVER_H
