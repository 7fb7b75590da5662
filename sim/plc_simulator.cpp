// The simulator's public face: the line opened, served by a thread, closed,
// unplugged and replugged; the stations' memory and faults and the records
// reached from any thread.
#include "sim/plc_simulator.h"

#include "sim/sim_threads.h"
#include <stdexcept>
#include <thread>

#include "common/stop_token.h"
#include "sim/line_link.h"
#include "sim/line_mirror.h"
#include "sim/line_port.h"
#include "sim/record_log.h"
#include "sim/station_loop.h"
#include "sim/station_set.h"

namespace plcsim {
namespace {

Options Checked(Options options)
{
    if (options.baud <= 0)
        throw std::invalid_argument("baud rate must be positive");
    if (!options.mirror.empty() && options.mirror == options.link)
        throw std::invalid_argument("the line and its mirror need a link each");
    return options;
}

int BitIndex(char operand, int number)
{
    if (operand == 'B')
        return number;
    if (operand != 'A' && operand != 'E') {
        throw std::out_of_range(std::string("not a bit operand: ") + operand);
    }
    const int index = ByteBitIndex(number);
    if (index < 0)
        throw std::out_of_range("no such bit: " + Hex(number, 4));
    return index;
}

}  // namespace

struct Simulator::Impl {
    enum class LineKind { None, Pty, Device };

    // The stations first: their numbers are checked before the rest.
    explicit Impl(Options opts)
        : stations(opts.stations, opts.seed),
          options(Checked(std::move(opts))),
          line(kivhost::TtyLineOf(static_cast<uint32_t>(options.baud), options.format)),
          log(options.maxRecords, options.onRecord),
          mirror(options.mirror),
          loop(options, stations, log, mirror, stop)
    {
    }

    ~Impl()
    {
        StopThread();
        mirror.Close();
        CloseLine();
    }

    // Opens the line and starts serving it; a failed open leaves nothing behind.
    void Start(LineKind lineKind, const std::string& path)
    {
        std::lock_guard lock(control);
        if (kind != LineKind::None)
            throw std::logic_error("simulator already started");
        kind = lineKind;
        devicePath = path;
        try {
            OpenLine();
            mirror.Open(line);
        } catch (...) {
            mirror.Close();
            CloseLine();
            kind = LineKind::None;
            throw;
        }
        StartThread();
    }

    void OpenLine()
    {
        std::string path = devicePath;
        LineHandle slave = NoLine();
        // Our own hold on a pseudo-terminal's slave: without it the master
        // reports a hang-up while no port is open. No lock is taken on it, so
        // the port's own locking is unaffected.
        const LineHandle opened =
            kind == LineKind::Pty ? OpenPseudoTerminal(line, path, &slave) : OpenSerialDevice(devicePath, line);
        {
            std::lock_guard lock(mutex);
            lineHandle = opened;
            slaveHandle = slave;
            linePath = path;
        }
        if (!options.link.empty())
            MakeLink(options.link, path);
    }

    void CloseLine()
    {
        RemoveLink(options.link, linePath);
        std::lock_guard lock(mutex);
        CloseLineHandle(lineHandle);
        CloseLineHandle(slaveHandle);
    }

    void StartThread()
    {
        stop.Reset();
        thread = Thread([this, served = lineHandle] { loop.Serve(served); });
        std::lock_guard lock(mutex);
        running = true;
    }

    void StopThread()
    {
        if (!thread.joinable())
            return;
        stop.Request();
        thread.join();
        std::lock_guard lock(mutex);
        running = false;
    }

    StationSet stations;
    Options options;
    const kivhost::TtyLine line;
    RecordLog log;
    LineMirror mirror;
    kivhost::StopToken stop;
    StationLoop loop;

    // Guards the line's path and whether it is served.
    mutable Mutex mutex;
    bool running = false;
    std::string linePath;

    // Serialises Start, Stop, Unplug and Replug.
    Mutex control;
    LineKind kind = LineKind::None;
    std::string devicePath;
    LineHandle lineHandle = NoLine();
    LineHandle slaveHandle = NoLine();
    Thread thread;
};

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options)))
{
}

Simulator::~Simulator()
{
    Stop();
}

void Simulator::StartPty()
{
    impl_->Start(Impl::LineKind::Pty, "");
}

void Simulator::StartDevice(const std::string& path)
{
    impl_->Start(Impl::LineKind::Device, path);
}

void Simulator::Stop()
{
    std::lock_guard control(impl_->control);
    impl_->StopThread();
    impl_->mirror.Close();
    impl_->CloseLine();
    impl_->kind = Impl::LineKind::None;
}

bool Simulator::Running() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->running;
}

std::string Simulator::SlavePath() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->linePath;
}

std::string Simulator::MirrorPath() const
{
    return impl_->mirror.Path();
}

uint64_t Simulator::MirrorDropped() const
{
    return impl_->mirror.Dropped();
}

void Simulator::Unplug()
{
    std::lock_guard control(impl_->control);
    impl_->StopThread();
    impl_->CloseLine();
}

void Simulator::Replug()
{
    std::lock_guard control(impl_->control);
    if (impl_->kind == Impl::LineKind::None)
        throw std::logic_error("simulator not started");
    impl_->StopThread();
    impl_->CloseLine();
    impl_->OpenLine();
    impl_->StartThread();
}

bool Simulator::HasStation(int station) const
{
    return impl_->stations.Has(station);
}

void Simulator::SetWord(int station, int number, uint16_t value)
{
    impl_->stations.With(station, [&](StationState& state) { state.memory.SetWord(number, value); });
}

uint16_t Simulator::Word(int station, int number) const
{
    return impl_->stations.With(station, [&](const StationState& state) { return state.memory.Word(number); });
}

void Simulator::SetBit(int station, char operand, int number, bool value)
{
    impl_->stations.With(station,
                         [&](StationState& state) { state.memory.SetBit(operand, BitIndex(operand, number), value); });
}

bool Simulator::Bit(int station, char operand, int number) const
{
    return impl_->stations.With(
        station, [&](const StationState& state) { return state.memory.Bit(operand, BitIndex(operand, number)); });
}

void Simulator::SetFault(int station, const Fault& fault)
{
    impl_->stations.With(station, [&](StationState& state) {
        std::erase_if(state.standing, [&](const Fault& other) { return other.kind == fault.kind; });
        state.standing.push_back(fault);
    });
}

void Simulator::ClearFaults(int station)
{
    impl_->stations.With(station, [](StationState& state) {
        state.standing.clear();
        state.script.clear();
    });
}

void Simulator::ScriptFault(int station, const Fault& fault, int nextRequests)
{
    impl_->stations.With(station, [&](StationState& state) {
        if (nextRequests > 0)
            state.script.emplace_back(fault, nextRequests);
    });
}

std::vector<Record> Simulator::Records() const
{
    return impl_->log.Records();
}

void Simulator::ClearRecords()
{
    impl_->log.Clear();
}

uint64_t Simulator::RequestCount() const
{
    return impl_->log.RequestCount();
}

bool Simulator::WaitForRequests(uint64_t count, std::chrono::milliseconds timeout) const
{
    return impl_->log.WaitForRequests(count, timeout);
}

}  // namespace plcsim
