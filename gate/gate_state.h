// What the line's owner shares with the Modbus and MQTT sides: the gateway's
// tags as configured, a snapshot of the last cycle, and the queue of writes.
// One thread owns the line (line_owner.h); the servers never call the
// driver, and never hold a lock across an exchange: they read an immutable
// snapshot and hand writes over through the queue.
#ifndef KIVGATE_GATE_STATE_H
#define KIVGATE_GATE_STATE_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "scan_engine.h"
#include "tag_list.h"

namespace kivgate {

using kivhost::Quality;
using kivhost::WallTime;

// Where a tag sits in the Modbus map. Words go to holding or input
// registers, bits to coils or discrete inputs; a run takes consecutive ones.
enum class Space { HoldingRegister, InputRegister, Coil, DiscreteInput };

struct GateTag {
    kivhost::Tag tag;  // name, address, count, kind, line
    Space space = Space::HoldingRegister;
    uint16_t first = 0;  // the first register or coil
    std::string topic;   // PREFIX/NAME unless the file says
    bool writable = false;
};

// One tag as the last cycle left it.
struct TagValue {
    std::vector<uint16_t> values;  // one per element (bits 0/1); the last good
    Quality quality = Quality::None;
    WallTime time{};                   // of this cycle's read or decision
    std::optional<WallTime> lastGood;  // none: never read good
};

struct StationDiagnostics {
    int station = 0;
    bool down = false;
    WallTime since{};                                        // of the current state
    std::string lastReason;                                  // of the last failure, "" for none
    std::vector<std::pair<std::string, uint64_t>> failures;  // by reason
    std::optional<double> p50Ms;                             // none: it never answered
    std::optional<double> p99Ms;
};

// Immutable once published.
struct Snapshot {
    uint64_t version = 0;  // set by SnapshotStore::Publish, from 1
    uint64_t cycle = 0;    // 0: before the first cycle
    WallTime time{};
    bool portLost = false;       // no station can be reached, whatever their own states say
    std::vector<TagValue> tags;  // as GateTags
    std::vector<StationDiagnostics> stations;
};

// The last snapshot, for any number of readers.
class SnapshotStore {
public:
    // Published after every block, so that a change goes out without
    // waiting for the rest of the cycle.
    void Publish(std::shared_ptr<Snapshot> snapshot);
    std::shared_ptr<const Snapshot> Latest() const;
    // Waits until a snapshot newer than version is published or the time is
    // up; the latest either way.
    std::shared_ptr<const Snapshot> WaitNewer(uint64_t version, std::chrono::milliseconds upTo) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::shared_ptr<const Snapshot> latest_ = std::make_shared<Snapshot>();
    uint64_t version_ = 0;
};

struct WriteResult {
    bool done = false;    // the station acknowledged
    std::string message;  // what happened, for a log and for the client
};

// A write of values to elements [offset, offset + values.size()) of a tag.
struct WriteRequest {
    size_t tag = 0;
    size_t offset = 0;
    std::vector<uint16_t> values;
    std::string from;  // "modbus 127.0.0.1:40312", "mqtt TOPIC/set": for the log
};

// Writes from the servers to the line's owner, done between scan blocks in
// the order they came. Bounded: a full queue refuses at once.
class WriteQueue {
public:
    explicit WriteQueue(size_t capacity = 64) : capacity_(capacity) {}
    // The result comes when the station has answered (or the write failed);
    // an invalid future when the queue is full or closed.
    std::future<WriteResult> Submit(WriteRequest request);
    struct Pending {
        WriteRequest request;
        std::promise<WriteResult> result;
    };
    // For the line's owner: the next write, if any, without waiting.
    std::optional<Pending> Take();
    // No more writes: those queued are answered as not done.
    void Close(const std::string& why);

private:
    std::mutex mutex_;
    std::deque<Pending> pending_;
    size_t capacity_;
    bool closed_ = false;
};

}  // namespace kivgate

#endif  // KIVGATE_GATE_STATE_H
