// Four channels on four threads, each against its own simulated line:
// thousands of writes and read-backs each, with retries, closes, reopens and
// changes of settings mixed in, and the shared parts of the driver (the
// command table, the port table, the ended flag, the host log) used by all
// at once. Built like every test, and run under ThreadSanitizer by
// scripts/reliability-checks.sh.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "tests/driver_fixture.h"
#include "tests/reliability_support.h"

namespace {

using plcsim::Fault;
using plcsim::FaultKind;

constexpr int CHANNELS = 4;
constexpr int EXCHANGES = 5000;  // per channel: writes and read-backs
// 200 ms: what is tested is cross-talk between threads, not time-outs. A
// shorter one on a slow run (ThreadSanitizer on two busy cores) lets a
// reply come after its time-out, to be taken as the next read's: the
// driver does not check a reply's echo, by design.
constexpr uint32_t TIMEOUT_UNITS = 20;

struct Tally {
    int wrongResults = 0;
    int wrongValues = 0;
    int exchanges = 0;
};

void Work(int index, HostChannel* channel, plcsim::Simulator* sim, Tally* tally)
{
    std::mt19937 rng(static_cast<uint32_t>(index) * 7919u + 1u);
    const std::string path = sim->SlavePath();
    for (int i = 0; tally->exchanges < EXCHANGES; ++i) {
        // The lifecycle on this channel while the others exchange.
        if (i % 150 == 149) {
            if (channel->Call(CMD_CLOSE_COM) != SUCCESS)
                ++tally->wrongResults;
            if (channel->Call(CMD_REOPEN_COM) != SUCCESS)
                ++tally->wrongResults;
            if (channel->Call(CMD_WARM_START) != SUCCESS)
                ++tally->wrongResults;
            // Back to the short time-out ReOpenCom does not set.
            if (channel->Call(CMD_CLOSE_COM) != SUCCESS ||
                channel->ChangeParams(path, PortSettings{static_cast<uint16_t>(9600 + index), 8, 0, 0}) != SUCCESS)
                ++tally->wrongResults;
        }
        // A lost request now and then: the retry must still land.
        if (i % 97 == 0)
            sim->ScriptFault(1, Fault{FaultKind::Silent}, 1);
        if (i % 89 == 0)
            sim->ScriptFault(1, Fault{FaultKind::Nak}, 1);

        // The shared, read-only parts from every thread.
        DriverInfoBlock info{};
        if (channel->Call(CMD_GET_KIV_INFO, &info) != SUCCESS || info.channelBlockSize != CHANNEL_BLOCK_SIZE)
            ++tally->wrongResults;
        AddressParseBlock parse{};
        parse.text = "01W0010";
        if (channel->Call(CMD_BLOCK_ADDRESS_PARSER, &parse) != SUCCESS || parse.address.number != 0x10)
            ++tally->wrongResults;

        const int count = 1 + static_cast<int>(rng() % 24);
        const int number = static_cast<int>(rng() % 0x200);
        HostIo write(1, 'W', number, count);
        for (uint16_t& v : write.values)
            v = static_cast<uint16_t>(rng());
        if (channel->Call(count == 1 ? CMD_SINGLE_WRITE : CMD_BLOCK_WRITE, &write.io) != SUCCESS)
            ++tally->wrongResults;
        HostIo read(1, 'W', number, count);
        if (channel->Call(CMD_BLOCK_READ, &read.io) != SUCCESS)
            ++tally->wrongResults;
        for (int k = count == 1 ? 1 : 0; k < (count == 1 ? 2 : count); ++k)
            if (read.values[k] != write.values[k])
                ++tally->wrongValues;
        tally->exchanges += 2;
    }
}

TEST(FourChannels, OnFourThreadsWithoutCrossTalk)
{
    kiv::ResetDriverEndedForTests();
    reliability::CountingLog log;
    std::vector<std::unique_ptr<plcsim::Simulator>> sims;
    std::vector<HostChannel> channels(CHANNELS);
    for (int i = 0; i < CHANNELS; ++i) {
        plcsim::Options options;
        options.seed = 100 + i;
        options.maxRecords = 64;
        sims.push_back(std::make_unique<plcsim::Simulator>(options));
        sims.back()->StartPty();
        ASSERT_EQ(channels[i].ColdStart(sims.back()->SlavePath(), TIMEOUT_UNITS), SUCCESS);
    }

    std::vector<Tally> tallies(CHANNELS);
    {
        reliability::QuietStdout quiet;  // tens of thousands of trace lines
        std::vector<std::thread> threads;
        for (int i = 0; i < CHANNELS; ++i)
            threads.emplace_back(Work, i, &channels[i], sims[i].get(), &tallies[i]);
        for (std::thread& t : threads)
            t.join();
    }

    for (int i = 0; i < CHANNELS; ++i) {
        EXPECT_EQ(tallies[i].wrongResults, 0) << "channel " << i;
        EXPECT_EQ(tallies[i].wrongValues, 0) << "channel " << i;
        EXPECT_GE(tallies[i].exchanges, EXCHANGES);
        // Each channel kept its own settings through the changes.
        EXPECT_EQ(channels[i].block.settings.baudRate, 9600 + i);
        EXPECT_EQ(channels[i].Call(CMD_CLOSE_COM), SUCCESS);
    }
    EXPECT_GT(log.Lines(), 0);
}

}  // namespace
