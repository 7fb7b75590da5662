// plcsim: PLC stations on a serial line: a pseudo-terminal or a serial
// device on Linux, a COM port on Windows.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "common/standard_descriptors.h"
#include "sim/line_port.h"
#include "sim/plc_simulator.h"
#include "sim/plcsim_command_line.h"
#include "sim/plcsim_events.h"
#include "sim/plcsim_settings.h"

namespace {

// Why standard output failed (an errno), or 0. The path printed there is how
// a user finds the line, so once it fails plcsim stops.
std::atomic<int> outputError{0};

// One line to standard output, whole; false once writing it has failed.
bool Say(const std::string& line)
{
    if (outputError != 0)
        return false;
    const std::string text = line + "\n";
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0)
        return true;
    int none = 0;
    outputError.compare_exchange_strong(none, errno != 0 ? errno : EIO);
    return false;
}

int OutputFailed(plcsim::Simulator& sim, const char* what)
{
    sim.Stop();
    std::fprintf(stderr, "plcsim: %s: standard output: %s; stopped, %s\n", what, std::strerror(outputError),
                 plcsim::HAS_PSEUDO_TERMINALS ? "the line and its links are gone" : "the port is closed");
    return plcsim::EXIT_OUTPUT;
}

std::string Count(uint64_t n)
{
    return std::to_string(static_cast<unsigned long long>(n));
}

}  // namespace

int main(int argc, char** argv)
{
    // Its line must never be descriptor 1 or 2, where its records are written.
    kivhost::HoldStandardDescriptors();
    const plcsim::Arguments args = plcsim::ParseCommandLine(argc, argv);
    plcsim::Settings settings = plcsim::Check(args);

    // Set once the simulator exists, before it serves; read on its thread.
    std::atomic<const plcsim::Simulator*> served{nullptr};
    uint64_t reportedDrops = 0;  // serving thread only
    const auto origin = std::chrono::steady_clock::now();
    if (settings.verbose) {
        settings.options.onRecord = [origin, &served, &reportedDrops](const plcsim::Record& record) {
            bool said = Say(plcsim::FormatRecord(record, origin));
            const plcsim::Simulator* sim = served.load();
            const uint64_t drops = sim != nullptr ? sim->MirrorDropped() : 0;
            if (said && drops > reportedDrops) {
                said = Say("mirror: its reader missed " + Count(drops - reportedDrops) + " bytes, " + Count(drops) +
                           " in all");
                reportedDrops = drops;
            }
            if (!said)
                plcsim::AskToStop();
        };
    }

    // Configure refuses what it cannot apply and exits: nothing is served yet.
    std::unique_ptr<plcsim::Simulator> sim;
    try {
        plcsim::TakeEvents();
        sim = std::make_unique<plcsim::Simulator>(settings.options);
        served = sim.get();
        plcsim::Configure(*sim, args);
        if (settings.device.empty()) {
            sim->StartPty();
        } else {
            sim->StartDevice(settings.device);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "plcsim: %s\n", error.what());
        return plcsim::EXIT_LINE;
    }
    if (!Say(sim->SlavePath()) || (!settings.options.mirror.empty() && !Say(sim->MirrorPath())))
        return OutputFailed(*sim, "the line's path cannot be told");

    // SIGUSR1 (Linux) pulls the adapter out and plugs it in again, turn
    // about: a host sees its port hang up, and a new line at the link once
    // replugged.
    bool plugged = true;
    while (plcsim::WaitForEvent() == plcsim::Event::Plug) {
        try {
            if (plugged) {
                sim->Unplug();
            } else {
                sim->Replug();
            }
            plugged = !plugged;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "plcsim: plugging the line in again: %s\n", error.what());
            sim->Stop();
            return plcsim::EXIT_LINE;
        }
        if (!Say(plugged ? "plugged in again: " + sim->SlavePath() : "unplugged (SIGUSR1 plugs the line in again)"))
            return OutputFailed(*sim, "the line's new path cannot be told");
    }
    plcsim::StoppingInOrder();
    sim->Stop();
    if (outputError != 0)
        return OutputFailed(*sim, "the requests and replies cannot be shown");
    if (settings.verbose && sim->MirrorDropped() > 0 &&
        !Say("mirror: its reader missed " + Count(sim->MirrorDropped()) + " bytes in all"))
        return OutputFailed(*sim, "the mirror's losses cannot be told");
    return 0;
}
