// Writes from the servers to the line's owner, done between scan blocks in
// the order they came. A write is settled exactly once: by the owner after
// the station answered, or before it is sent, by its deadline, by its
// requester going away, or by a refusal. Once settled it is never sent, so
// a client told that a write failed can trust that it did not happen later.
#ifndef KIVGATE_WRITE_QUEUE_H
#define KIVGATE_WRITE_QUEUE_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gate/gate_options.h"

namespace kivgate {

using SteadyTime = std::chrono::steady_clock::time_point;

constexpr std::chrono::milliseconds DEFAULT_WRITE_TIMEOUT{DEFAULT_WRITE_TIMEOUT_MS};

// Why a write whose deadline passed before it could be sent failed.
std::string NotSentInTime(std::chrono::milliseconds timeout);

struct WriteResult {
    bool done = false;    // the station acknowledged
    std::string message;  // what happened, for a log and for the client
    // It went on the line: a write not done may still have reached the
    // station. Not sent: dropped before, nothing changed.
    bool sent = false;
};

// A write of values to elements [offset, offset + values.size()) of a tag.
struct WriteRequest {
    size_t tag = 0;
    size_t offset = 0;
    std::vector<uint16_t> values;
    std::string from;  // "modbus 127.0.0.1:40312", "mqtt TOPIC/set": for the log
    // Set by the queue.
    SteadyTime deadline{};  // not sent after this
    uint64_t batch = 0;     // the parts of one client request share it
};

// Bounded: a full queue refuses at once.
class WriteQueue {
public:
    explicit WriteQueue(size_t capacity = 64, std::chrono::milliseconds timeout = DEFAULT_WRITE_TIMEOUT);
    ~WriteQueue();
    WriteQueue(const WriteQueue&) = delete;
    WriteQueue& operator=(const WriteQueue&) = delete;

    // The result comes when the station has answered or the write was
    // dropped (its deadline passed, its tag refused); an invalid future when
    // the queue is full or closed.
    std::future<WriteResult> Submit(WriteRequest request);
    // The parts of one request, queued all or none: refused together when
    // the queue cannot take them all (no results) or one part's tag is
    // refused (every result ready, failed).
    struct Submitted {
        std::vector<std::future<WriteResult>> results;  // one per part
        uint64_t batch = 0;
    };
    Submitted SubmitAll(std::vector<WriteRequest> parts);
    // The parts of a batch not taken by the owner yet are answered failed
    // with why and never sent: its requester has gone, or an earlier part
    // failed.
    void Withdraw(uint64_t batch, const std::string& why);
    // From the owner: why each tag cannot be written now ("" when it can),
    // in the tags' order. A write to a refused tag fails at once.
    void Refuse(std::vector<std::string> whyByTag);

    struct Pending {
        WriteRequest request;
        std::promise<WriteResult> result;
    };
    // For the line's owner: the next write, if any, without waiting.
    std::optional<Pending> Take();
    // For the owner's log: the writes settled without it, in order.
    struct Dropped {
        WriteRequest request;
        WriteResult result;
    };
    std::vector<Dropped> TakeDropped();
    // Called once for every write settled, by the queue or by the owner
    // (Finish), on the thread that settles it; set before any write comes.
    using Settled = std::function<void(const WriteRequest&, const WriteResult&)>;
    void OnSettled(Settled settled) { settled_ = std::move(settled); }
    // For the owner: the write it took is settled with result.
    void Finish(Pending& pending, WriteResult result);
    // No more writes: those queued are answered as not done.
    void Close(const std::string& why);

    std::chrono::milliseconds Timeout() const { return timeout_; }
    // The most parts it ever holds: a request with more is never taken.
    size_t Capacity() const { return capacity_; }

private:
    // The deadlines kept on a thread of the queue's own: the owner may be
    // in a long exchange, or waiting for a lost port.
    void ExpireLoop();
    void WithdrawLocked(uint64_t batch, const std::string& why);
    void Settle(Pending& pending, WriteResult result);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Pending> pending_;
    std::deque<Dropped> dropped_;
    std::vector<std::string> refused_;
    size_t capacity_;
    std::chrono::milliseconds timeout_;
    uint64_t lastBatch_ = 0;
    bool closed_ = false;
    bool ending_ = false;
    std::thread expiry_;
    Settled settled_;
};

}  // namespace kivgate

#endif  // KIVGATE_WRITE_QUEUE_H
