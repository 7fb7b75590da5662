// A scriptable serial platform for deterministic tests and fuzz targets of
// anything built on the serial layer. Devices are added by name; input is
// scripted as bytes that arrive at a point of virtual time, and reads follow
// the port's read plan (serial_read_plan.h) against that clock, so a "one
// second" time-out costs no real time. Every platform call is recorded, and
// any call can be made to fail, always or on its n-th occurrence, or have
// its outcome decided as it begins.
//
//   FakeSerialPlatform fake;                  // installed until it goes out of scope
//   FakeDevice& com1 = fake.AddDevice("COM1");
//   com1.Arrive("reply", 250);                // arrives 250 ms from now
//   com1.Fail(FakeOp::SetState);              // every SetCommState refused
//   com1.onWrite = [](FakeDevice& d, const uint8_t*, uint32_t) { d.Arrive("ack", d.NowMs() + 5); };
//   com1.onCall = [](FakeDevice& d, FakeOp op, const uint8_t*, uint32_t) {
//       if (op == FakeOp::Read) d.ScriptRead(false);  // every read fails, decided as it comes
//   };
#ifndef DAVODEV_TESTS_FAKE_SERIAL_PLATFORM_H
#define DAVODEV_TESTS_FAKE_SERIAL_PLATFORM_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "serial/serial_platform.h"

namespace kiv::fake {

enum class FakeOp {
    Open,
    Close,
    GetState,
    SetState,
    GetTimeouts,
    SetTimeouts,
    SetupQueues,
    ClearError,
    Read,
    Write,
    SetBreak,
    Sleep,
};
constexpr int FAKE_OP_COUNT = static_cast<int>(FakeOp::Sleep) + 1;
const char* FakeOpName(FakeOp op);

struct FakeCall {
    FakeOp op;
    std::string device;  // empty for Sleep and for calls on an unknown handle
    PortHandle handle;   // the handle passed, or the one Open returned
    uint32_t size;       // bytes asked (Read, Write), ms (Sleep), input queue (SetupQueues), 1/0 (SetBreak)
    uint32_t result;     // bytes moved (Read, Write), bytes waiting (ClearError)
    bool ok;
    uint64_t endMs;  // virtual time when the call returned
};

class FakeSerialPlatform;

class FakeDevice {
public:
    // What the port holds; the layer reads and writes these through the
    // platform calls; tests may set or read them directly.
    LineConfig state;
    PortTimeouts timeouts{};
    uint32_t inQueue = 0;
    uint32_t outQueue = 0;
    bool breakOn = false;

    // Behaviour.
    bool commDevice = true;            // false: like Windows' NUL (no configuration, reads give nothing, writes vanish)
    bool shareable = false;            // admits further opens while open
    uint32_t writeLimit = UINT32_MAX;  // a write takes at most this many bytes
    // Called after every successful write with the bytes taken: queue a reply here.
    std::function<void(FakeDevice&, const uint8_t*, uint32_t)> onWrite;
    // Called as each call on this device begins, before its outcome is
    // decided, with the bytes handed in (Write) and the size asked (Read,
    // Write; 0 otherwise): Fail(op, 1), ScriptRead, ScriptClearError or
    // writeLimit set here decide this very call.
    std::function<void(FakeDevice&, FakeOp, const uint8_t* data, uint32_t size)> onCall;

    // Input arriving at virtual time atMs (absolute; NowMs() is "now").
    void Arrive(std::string_view bytes, uint64_t atMs = 0);
    void Arrive(const std::vector<uint8_t>& bytes, uint64_t atMs = 0);
    // The next reads' outcomes, taken before any timed input: each returns
    // ok with the given bytes (or fails) and advances the clock by takesMs.
    void ScriptRead(bool ok, std::string_view bytes = {}, uint64_t takesMs = 0);
    // The next ClearError's outcome, taken before the input that has arrived:
    // ok, and bytesWaiting reported, whatever is really there.
    void ScriptClearError(bool ok, uint32_t bytesWaiting = 0);
    // occurrence 0: every call of op on this device fails from now on; n: only
    // the n-th call from now (1: the next one).
    void Fail(FakeOp op, int occurrence = 0);

    // Observations.
    const std::string& name() const { return name_; }
    bool isOpen() const { return openHandles_ > 0; }
    int opens = 0;   // successful opens
    int closes = 0;  // successful closes
    std::vector<uint8_t> written;
    std::vector<LineConfig> statesSet;      // every configuration accepted
    std::vector<PortTimeouts> timeoutsSet;  // every time-out record accepted
    uint32_t stalls = 0;                    // reads with no time-out that would have waited forever
    size_t PendingInput() const;            // scripted bytes not read yet, arrived or not
    size_t ArrivedInput() const;            // of those, the ones already here
    uint64_t NowMs() const;

private:
    friend class FakeSerialPlatform;
    struct TimedByte {
        uint64_t atMs;
        uint8_t value;
    };
    struct ScriptedRead {
        bool ok;
        std::string bytes;
        uint64_t takesMs;
    };
    // Runs onCall, then counts the call: true when it is to fail.
    bool ShouldFail(FakeOp op, const uint8_t* data = nullptr, uint32_t size = 0);

    std::string name_;
    FakeSerialPlatform* owner_ = nullptr;
    int openHandles_ = 0;
    std::deque<TimedByte> input_;
    std::deque<ScriptedRead> scripted_;
    struct ScriptedClear {
        bool ok;
        uint32_t bytesWaiting;
    };
    std::deque<ScriptedClear> scriptedClears_;
    bool failAlways_[FAKE_OP_COUNT] = {};
    std::vector<int> failOn_[FAKE_OP_COUNT];
    int callCount_[FAKE_OP_COUNT] = {};
};

// Installs itself as the layer's platform for its lifetime. One at a time.
class FakeSerialPlatform {
public:
    FakeSerialPlatform();
    ~FakeSerialPlatform();
    FakeSerialPlatform(const FakeSerialPlatform&) = delete;
    FakeSerialPlatform& operator=(const FakeSerialPlatform&) = delete;

    // A device that can be opened by this name; unknown names fail to open.
    // Its state starts as a plausible port (9600 8N1) whose native blob is a
    // known pattern, see NativePattern().
    FakeDevice& AddDevice(const std::string& name);
    FakeDevice* Device(const std::string& name);
    FakeDevice* DeviceOf(PortHandle handle);
    // Every handle open now, whoever opened it, in the order they were opened.
    std::vector<PortHandle> OpenHandles() const;

    uint64_t NowMs() const { return nowMs_; }
    void AdvanceMs(uint64_t ms) { nowMs_ += ms; }

    const std::vector<FakeCall>& Calls() const { return calls_; }
    std::vector<FakeOp> Ops() const;
    size_t Count(FakeOp op) const;
    void ClearCalls() { calls_.clear(); }

    static const SerialPlatform& Table();
    static unsigned char NativePattern(size_t i) { return static_cast<unsigned char>(i * 7 + 3); }

    // Platform entry points (public for the function table).
    bool Open(const char* name, PortHandle* handle);
    bool Close(PortHandle handle);
    bool GetState(PortHandle handle, LineConfig* config);
    bool SetState(PortHandle handle, const LineConfig* config);
    bool GetTimeouts(PortHandle handle, PortTimeouts* timeouts);
    bool SetTimeouts(PortHandle handle, const PortTimeouts* timeouts);
    bool SetupQueues(PortHandle handle, uint32_t inQueue, uint32_t outQueue);
    bool ClearError(PortHandle handle, uint32_t* bytesWaiting);
    bool Read(PortHandle handle, void* buffer, uint32_t n, uint32_t* got);
    bool Write(PortHandle handle, const void* data, uint32_t n, uint32_t* written);
    bool SetBreak(PortHandle handle, bool on);
    void SleepMs(uint32_t milliseconds);

private:
    // The device a handle names (nullptr if none), counting the call;
    // *fails when there is none or the call is scripted to fail.
    FakeDevice* Begin(FakeOp op, PortHandle handle, bool* fails, const uint8_t* data = nullptr, uint32_t size = 0);
    void Record(FakeOp op, const FakeDevice* device, PortHandle handle, uint32_t size, uint32_t result, bool ok);

    std::map<std::string, std::unique_ptr<FakeDevice>> devices_;
    std::map<PortHandle, FakeDevice*> handles_;
    uint64_t nowMs_ = 0;
    std::vector<FakeCall> calls_;
};

}  // namespace kiv::fake

#endif  // DAVODEV_TESTS_FAKE_SERIAL_PLATFORM_H
