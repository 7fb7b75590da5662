// plcsim: PLC stations on a pseudo-terminal or a serial device.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>

#include "plc_simulator.h"
#include "plcsim_command_line.h"
#include "plcsim_settings.h"

int main(int argc, char** argv)
{
    const plcsim::Arguments args = plcsim::ParseCommandLine(argc, argv);
    plcsim::Settings settings = plcsim::Check(args);

    // Blocked before the serving thread exists, so it inherits the mask and
    // the signals are taken only by sigwait below.
    sigset_t takenSignals;
    sigemptyset(&takenSignals);
    sigaddset(&takenSignals, SIGINT);
    sigaddset(&takenSignals, SIGTERM);
    sigaddset(&takenSignals, SIGHUP);
    sigaddset(&takenSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &takenSignals, nullptr);

    // Set once the simulator exists, before it serves; read on its thread.
    std::atomic<const plcsim::Simulator*> served{nullptr};
    uint64_t reportedDrops = 0;  // serving thread only
    const auto origin = std::chrono::steady_clock::now();
    if (settings.verbose) {
        settings.options.onRecord = [origin, &served, &reportedDrops](const plcsim::Record& record) {
            std::printf("%s\n", plcsim::FormatRecord(record, origin).c_str());
            const plcsim::Simulator* sim = served.load();
            const uint64_t drops = sim != nullptr ? sim->MirrorDropped() : 0;
            if (drops > reportedDrops) {
                std::printf("mirror: its reader missed %llu bytes, %llu in all\n",
                            static_cast<unsigned long long>(drops - reportedDrops),
                            static_cast<unsigned long long>(drops));
                reportedDrops = drops;
            }
            std::fflush(stdout);
        };
    }

    // Configure refuses what it cannot apply and exits: nothing is served yet.
    std::unique_ptr<plcsim::Simulator> sim;
    try {
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
    std::printf("%s\n", sim->SlavePath().c_str());
    if (!settings.options.mirror.empty())
        std::printf("%s\n", sim->MirrorPath().c_str());
    std::fflush(stdout);

    // SIGUSR1 pulls the adapter out and plugs it in again, turn about: a
    // host sees its port hang up, and a new line at the link once replugged.
    bool plugged = true;
    for (int signalNumber = 0; sigwait(&takenSignals, &signalNumber) == 0 && signalNumber == SIGUSR1;) {
        try {
            if (plugged) {
                sim->Unplug();
                std::printf("unplugged (SIGUSR1 plugs the line in again)\n");
            } else {
                sim->Replug();
                std::printf("plugged in again: %s\n", sim->SlavePath().c_str());
            }
            plugged = !plugged;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "plcsim: plugging the line in again: %s\n", error.what());
            sim->Stop();
            return plcsim::EXIT_LINE;
        }
        std::fflush(stdout);
    }
    sim->Stop();
    if (settings.verbose && sim->MirrorDropped() > 0) {
        std::printf("mirror: its reader missed %llu bytes in all\n",
                    static_cast<unsigned long long>(sim->MirrorDropped()));
    }
    return 0;
}
