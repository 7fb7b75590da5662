#include "tests/fake_serial_platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "serial/serial_read_plan.h"

namespace kiv::fake {

namespace {

FakeSerialPlatform* active = nullptr;
// Counted across fakes, as a real platform never hands out a live handle
// twice: the serial layer remembers the handles it opened.
PortHandle nextHandle = 0x101;

}  // namespace

const char* FakeOpName(FakeOp op)
{
    static const char* const names[FAKE_OP_COUNT] = {
        "Open",        "Close",      "GetState", "SetState", "GetTimeouts", "SetTimeouts",
        "SetupQueues", "ClearError", "Read",     "Write",    "SetBreak",    "Sleep",
    };
    return names[static_cast<int>(op)];
}

// ---------------------------------------------------------------------------
// FakeDevice

void FakeDevice::Arrive(std::string_view bytes, uint64_t atMs)
{
    for (char c : bytes)
        input_.push_back({atMs, static_cast<uint8_t>(c)});
}

void FakeDevice::Arrive(const std::vector<uint8_t>& bytes, uint64_t atMs)
{
    for (uint8_t b : bytes)
        input_.push_back({atMs, b});
}

void FakeDevice::ScriptRead(bool ok, std::string_view bytes, uint64_t takesMs)
{
    scripted_.push_back({ok, std::string(bytes), takesMs});
}

void FakeDevice::ScriptClearError(bool ok, uint32_t bytesWaiting)
{
    scriptedClears_.push_back({ok, bytesWaiting});
}

void FakeDevice::Fail(FakeOp op, int occurrence)
{
    if (occurrence == 0)
        failAlways_[static_cast<int>(op)] = true;
    else
        failOn_[static_cast<int>(op)].push_back(callCount_[static_cast<int>(op)] + occurrence);
}

bool FakeDevice::ShouldFail(FakeOp op, const uint8_t* data, uint32_t size)
{
    if (onCall)
        onCall(*this, op, data, size);
    const int i = static_cast<int>(op);
    const int n = ++callCount_[i];
    return failAlways_[i] || std::find(failOn_[i].begin(), failOn_[i].end(), n) != failOn_[i].end();
}

size_t FakeDevice::PendingInput() const
{
    return input_.size();
}

size_t FakeDevice::ArrivedInput() const
{
    const uint64_t now = NowMs();
    size_t n = 0;
    for (const TimedByte& b : input_)
        n += b.atMs <= now;
    return n;
}

uint64_t FakeDevice::NowMs() const
{
    return owner_ ? owner_->NowMs() : 0;
}

// ---------------------------------------------------------------------------
// The function table: plain functions forwarding to the installed fake.

namespace {

FakeSerialPlatform& A()
{
    if (active == nullptr)
        std::abort();  // a platform call with no fake installed: a test bug
    return *active;
}

const SerialPlatform FAKE_TABLE = {
    [](const char* name, PortHandle* h) { return A().Open(name, h); },
    [](PortHandle h) { return A().Close(h); },
    [](PortHandle h, LineConfig* c) { return A().GetState(h, c); },
    [](PortHandle h, const LineConfig* c) { return A().SetState(h, c); },
    [](PortHandle h, PortTimeouts* t) { return A().GetTimeouts(h, t); },
    [](PortHandle h, const PortTimeouts* t) { return A().SetTimeouts(h, t); },
    [](PortHandle h, uint32_t in, uint32_t out) { return A().SetupQueues(h, in, out); },
    [](PortHandle h, uint32_t* waiting) { return A().ClearError(h, waiting); },
    [](PortHandle h, void* b, uint32_t n, uint32_t* got) { return A().Read(h, b, n, got); },
    [](PortHandle h, const void* d, uint32_t n, uint32_t* w) { return A().Write(h, d, n, w); },
    [](PortHandle h, bool on) { return A().SetBreak(h, on); },
    [](uint32_t ms) { A().SleepMs(ms); },
};

}  // namespace

const SerialPlatform& FakeSerialPlatform::Table()
{
    return FAKE_TABLE;
}

// ---------------------------------------------------------------------------
// FakeSerialPlatform

FakeSerialPlatform::FakeSerialPlatform()
{
    if (active != nullptr)
        std::abort();  // one fake at a time
    active = this;
    UseSerialPlatform(&FAKE_TABLE);
}

FakeSerialPlatform::~FakeSerialPlatform()
{
    // Ports a test left open leave the layer's table with their devices.
    for (PortHandle handle : OpenHandles())
        (void)PortClose(handle);  // a handle the layer has let go of already is refused, as it should be
    UseSerialPlatform(nullptr);
    active = nullptr;
}

FakeDevice& FakeSerialPlatform::AddDevice(const std::string& name)
{
    auto device = std::make_unique<FakeDevice>();
    device->name_ = name;
    device->owner_ = this;
    LineConfig& s = device->state;
    std::memset(&s, 0, sizeof s);
    s.baudRate = 9600;
    s.dataBits = 8;
    s.binary = true;
    s.dtr = DtrControl::On;
    s.rts = RtsControl::On;
    for (size_t i = 0; i < sizeof s.native; ++i)
        s.native[i] = NativePattern(i);
    FakeDevice& ref = *device;
    devices_[name] = std::move(device);
    return ref;
}

FakeDevice* FakeSerialPlatform::Device(const std::string& name)
{
    auto it = devices_.find(name);
    return it == devices_.end() ? nullptr : it->second.get();
}

FakeDevice* FakeSerialPlatform::DeviceOf(PortHandle handle)
{
    auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : it->second;
}

std::vector<PortHandle> FakeSerialPlatform::OpenHandles() const
{
    std::vector<PortHandle> open;
    for (const auto& [handle, device] : handles_)
        open.push_back(handle);
    return open;
}

std::vector<FakeOp> FakeSerialPlatform::Ops() const
{
    std::vector<FakeOp> ops;
    for (const FakeCall& c : calls_)
        ops.push_back(c.op);
    return ops;
}

size_t FakeSerialPlatform::Count(FakeOp op) const
{
    return static_cast<size_t>(
        std::count_if(calls_.begin(), calls_.end(), [op](const FakeCall& c) { return c.op == op; }));
}

void FakeSerialPlatform::Record(FakeOp op, const FakeDevice* device, PortHandle handle, uint32_t size, uint32_t result,
                                bool ok)
{
    calls_.push_back({op, device ? device->name() : std::string(), handle, size, result, ok, nowMs_});
}

FakeDevice* FakeSerialPlatform::Begin(FakeOp op, PortHandle handle, bool* fails, const uint8_t* data, uint32_t size)
{
    FakeDevice* device = DeviceOf(handle);
    *fails = device == nullptr || device->ShouldFail(op, data, size);
    return device;
}

bool FakeSerialPlatform::Open(const char* name, PortHandle* handle)
{
    FakeDevice* device = name ? Device(name) : nullptr;
    bool ok = device != nullptr && (device->shareable || !device->isOpen()) && !device->ShouldFail(FakeOp::Open);
    PortHandle h = 0;
    if (ok) {
        h = nextHandle++;
        handles_[h] = device;
        ++device->openHandles_;
        ++device->opens;
        *handle = h;
    }
    calls_.push_back({FakeOp::Open, name ? name : "", h, 0, 0, ok, nowMs_});
    return ok;
}

bool FakeSerialPlatform::Close(PortHandle handle)
{
    bool fails = false;
    FakeDevice* device = Begin(FakeOp::Close, handle, &fails);
    if (!fails) {
        handles_.erase(handle);
        --device->openHandles_;
        ++device->closes;
    }
    Record(FakeOp::Close, device, handle, 0, 0, !fails);
    return !fails;
}

bool FakeSerialPlatform::GetState(PortHandle handle, LineConfig* config)
{
    bool fails = false;
    FakeDevice* device = Begin(FakeOp::GetState, handle, &fails);
    const bool ok = !fails && device->commDevice;
    if (ok)
        *config = device->state;
    Record(FakeOp::GetState, device, handle, 0, 0, ok);
    return ok;
}

bool FakeSerialPlatform::SetState(PortHandle handle, const LineConfig* config)
{
    bool fails = false;
    FakeDevice* device = Begin(FakeOp::SetState, handle, &fails);
    const bool ok = !fails && device->commDevice;
    if (ok) {
        device->state = *config;
        device->statesSet.push_back(*config);
    }
    Record(FakeOp::SetState, device, handle, 0, 0, ok);
    return ok;
}

bool FakeSerialPlatform::GetTimeouts(PortHandle handle, PortTimeouts* timeouts)
{
    bool fails = false;
    FakeDevice* device = Begin(FakeOp::GetTimeouts, handle, &fails);
    const bool ok = !fails && device->commDevice;
    if (ok)
        *timeouts = device->timeouts;
    Record(FakeOp::GetTimeouts, device, handle, 0, 0, ok);
    return ok;
}

bool FakeSerialPlatform::SetTimeouts(PortHandle handle, const PortTimeouts* timeouts)
{
    bool fails = false;
    FakeDevice* device = Begin(FakeOp::SetTimeouts, handle, &fails);
    const bool ok = !fails && device->commDevice;
    if (ok) {
        device->timeouts = *timeouts;
        device->timeoutsSet.push_back(*timeouts);
    }
    Record(FakeOp::SetTimeouts, device, handle, timeouts->readTotalConstant, 0, ok);
    return ok;
}

bool FakeSerialPlatform::SetupQueues(PortHandle handle, uint32_t inQueue, uint32_t outQueue)
{
    bool fails = false;
    FakeDevice* device = Begin(FakeOp::SetupQueues, handle, &fails);
    const bool ok = !fails && device->commDevice;
    if (ok) {
        device->inQueue = inQueue;
        device->outQueue = outQueue;
    }
    Record(FakeOp::SetupQueues, device, handle, inQueue, 0, ok);
    return ok;
}

bool FakeSerialPlatform::ClearError(PortHandle handle, uint32_t* bytesWaiting)
{
    bool fails = false;
    FakeDevice* device = Begin(FakeOp::ClearError, handle, &fails);
    bool ok = !fails && device->commDevice;
    uint32_t waiting = 0;
    if (ok && !device->scriptedClears_.empty()) {
        ok = device->scriptedClears_.front().ok;
        waiting = ok ? device->scriptedClears_.front().bytesWaiting : 0;
        device->scriptedClears_.pop_front();
    } else if (ok) {
        waiting = static_cast<uint32_t>(device->ArrivedInput());
    }
    if (ok)
        *bytesWaiting = waiting;
    Record(FakeOp::ClearError, device, handle, 0, waiting, ok);
    return ok;
}

bool FakeSerialPlatform::Read(PortHandle handle, void* buffer, uint32_t n, uint32_t* got)
{
    *got = 0;
    bool fails = false;
    FakeDevice* device = Begin(FakeOp::Read, handle, &fails, nullptr, n);
    if (fails) {
        Record(FakeOp::Read, device, handle, n, 0, false);
        return false;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    if (!device->scripted_.empty()) {
        const FakeDevice::ScriptedRead script = device->scripted_.front();
        device->scripted_.pop_front();
        nowMs_ += script.takesMs;
        const uint32_t take = std::min<uint32_t>(n, static_cast<uint32_t>(script.bytes.size()));
        if (script.ok) {
            std::memcpy(out, script.bytes.data(), take);
            *got = take;
        }
        Record(FakeOp::Read, device, handle, n, *got, script.ok);
        return script.ok;
    }
    if (!device->commDevice || n == 0) {
        Record(FakeOp::Read, device, handle, n, 0, true);
        return true;
    }

    // When does this read end? The port's plan, against the virtual clock.
    const ReadPlan plan = PlanRead(device->timeouts, n);
    constexpr uint64_t NEVER = UINT64_MAX;
    const uint64_t deadline = plan.limited ? nowMs_ + plan.totalMs : NEVER;
    const uint32_t want = plan.endsOnFirstByte ? 1 : n;

    uint32_t count = 0;
    uint64_t lastAt = nowMs_;
    const auto gapEnd = [&] { return plan.intervalMs != 0 && count > 0 ? lastAt + plan.intervalMs : NEVER; };
    for (const FakeDevice::TimedByte& b : device->input_) {
        if (count == want || b.atMs > deadline || b.atMs > gapEnd())
            break;
        lastAt = std::max(lastAt, b.atMs);
        ++count;
    }
    if (plan.endsOnFirstByte) {
        // Everything already here comes along with the first byte.
        for (size_t i = count; i < device->input_.size() && count < n && device->input_[i].atMs <= lastAt; ++i)
            ++count;
    }
    if (count == want || (plan.endsOnFirstByte && count > 0)) {
        nowMs_ = lastAt;
    } else if (std::min(deadline, gapEnd()) == NEVER) {
        ++device->stalls;  // a real port would hang here; hand over what there is
        nowMs_ = lastAt;
    } else {
        nowMs_ = std::min(deadline, gapEnd());
    }
    for (uint32_t i = 0; i < count; ++i) {
        out[i] = device->input_.front().value;
        device->input_.pop_front();
    }
    *got = count;
    Record(FakeOp::Read, device, handle, n, count, true);
    return true;
}

bool FakeSerialPlatform::Write(PortHandle handle, const void* data, uint32_t n, uint32_t* written)
{
    *written = 0;
    bool fails = false;
    FakeDevice* device = Begin(FakeOp::Write, handle, &fails, static_cast<const uint8_t*>(data), n);
    if (fails) {
        Record(FakeOp::Write, device, handle, n, 0, false);
        return false;
    }
    const uint32_t take = std::min(n, device->writeLimit);
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (device->commDevice)
        device->written.insert(device->written.end(), bytes, bytes + take);
    *written = take;
    Record(FakeOp::Write, device, handle, n, take, true);
    if (device->onWrite && take > 0)
        device->onWrite(*device, bytes, take);
    return true;
}

bool FakeSerialPlatform::SetBreak(PortHandle handle, bool on)
{
    bool fails = false;
    FakeDevice* device = Begin(FakeOp::SetBreak, handle, &fails);
    const bool ok = !fails && device->commDevice;
    if (ok)
        device->breakOn = on;
    Record(FakeOp::SetBreak, device, handle, on ? 1 : 0, 0, ok);
    return ok;
}

void FakeSerialPlatform::SleepMs(uint32_t milliseconds)
{
    nowMs_ += milliseconds;
    Record(FakeOp::Sleep, nullptr, 0, milliseconds, 0, true);
}

}  // namespace kiv::fake
