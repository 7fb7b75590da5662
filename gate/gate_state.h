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
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "gate/value_format.h"
#include "gate/write_queue.h"
#include "scan/scan_engine.h"
#include "scan/tag_list.h"

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
    ValueFormat format;  // of a word tag's values; tag.count counts words
};

// The stations the tags name, each once, in order.
std::vector<int> ConfiguredStations(const std::vector<GateTag>& tags);

// One tag as the last cycle left it.
struct TagValue {
    std::vector<uint16_t> values;  // one per element (bits 0/1); the last good
    Quality quality = Quality::None;
    WallTime time{};                   // of this cycle's read or decision
    std::optional<WallTime> lastGood;  // none: never read good
    SteadyTime readAt{};               // of its last good read, for its age: the wall clock may jump

    // The quality to serve at now: a good value not read again within
    // maxAge is stale (maxAge 0: values do not age). Judged when served,
    // not when published: a line stuck in an exchange publishes nothing.
    Quality QualityAt(SteadyTime now, std::chrono::milliseconds maxAge) const;
};

struct StationDiagnostics {
    int station = 0;
    bool down = false;
    WallTime since{};                                        // of the current state
    std::string lastReason;                                  // of the last failure, "" for none
    std::vector<std::pair<std::string, uint64_t>> failures;  // by reason
    std::optional<double> p50Ms;                             // none: it never answered
    std::optional<double> p99Ms;
    // Down for the port: lost, or not heard since it came back; lastReason "port-lost".
    bool portLost = false;
};

// Immutable once published.
struct Snapshot {
    uint64_t version = 0;  // set by SnapshotStore::Publish, from 1
    uint64_t cycle = 0;    // 0: before the first cycle
    WallTime time{};
    bool portLost = false;       // no station can be reached, whatever their own states say
    std::vector<TagValue> tags;  // as GateTags
    std::vector<StationDiagnostics> stations;
    // How old a good value may be and still be served good; 0: no limit.
    std::chrono::milliseconds maxAge{0};

    Quality QualityAt(size_t tag, SteadyTime now) const { return tags.at(tag).QualityAt(now, maxAge); }
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

}  // namespace kivgate

#endif  // KIVGATE_GATE_STATE_H
