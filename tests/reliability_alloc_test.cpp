// The driver allocates no heap memory: this program replaces the C
// library's allocator entry points with counting wrappers and counts, on the
// calling thread only and only inside KivMain calls, every allocation made
// while the driver reads, writes, retries, traces, logs, parses and opens
// and closes its port. The C library may set up the stdout buffer and the
// host log library once, so a warm-up runs every path first.
//
// Not built with the sanitizers, which bring allocators of their own.
#include <gtest/gtest.h>

#include <malloc.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tests/driver_fixture.h"
#include "tests/reliability_support.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void* __libc_valloc(size_t size);
void* __libc_pvalloc(size_t size);
void __libc_free(void* pointer);
}

namespace {

// Plain thread-local data of the program itself: reaching it allocates nothing.
thread_local bool counting = false;
thread_local long allocations = 0;

inline void Count()
{
    if (counting)
        ++allocations;
}

}  // namespace

extern "C" {

void* malloc(size_t size)
{
    Count();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size)
{
    Count();
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size)
{
    Count();
    return __libc_realloc(pointer, size);
}

void* memalign(size_t alignment, size_t size)
{
    Count();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size)
{
    Count();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** pointer, size_t alignment, size_t size)
{
    Count();
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr)
        return ENOMEM;
    *pointer = p;
    return 0;
}

void* valloc(size_t size)
{
    Count();
    return __libc_valloc(size);
}

void* pvalloc(size_t size)
{
    Count();
    return __libc_pvalloc(size);
}

void free(void* pointer)
{
    __libc_free(pointer);
}

}  // extern "C"

namespace {

using plcsim::Fault;
using plcsim::FaultKind;

constexpr uint32_t TIMEOUT_UNITS = 5;

class NoHeapInTheDriver : public ::testing::Test {
protected:
    void SetUp() override
    {
        kiv::ResetDriverEndedForTests();
        plcsim::Options options;
        options.stations = {1, 2};
        sim_ = std::make_unique<plcsim::Simulator>(options);
        sim_->StartPty();
        path_ = sim_->SlavePath();
    }
    void TearDown() override
    {
        (void)channel_.Call(CMD_CLOSE_COM);  // tear-down: what the test checks is done
        sim_->Stop();
    }

    // One KivMain call, its allocations counted.
    int32_t Counted(uint32_t code, void* params, long* made)
    {
        reliability::QuietStdout quiet;
        allocations = 0;
        counting = true;
        const int32_t result = channel_.Call(code, params);
        counting = false;
        *made += allocations;
        return result;
    }

    // Every path the driver has: reads and writes of every operand kind and
    // length, bit reads and set/reset, failed attempts of each sort (their
    // log lines included), long replies (traced and logged line by line),
    // the parser with its log line, and the lifecycle. Returns the
    // allocations counted, when asked to count.
    long RunEverything()
    {
        long made = 0;
        const auto io = [&](uint32_t code, int station, char operand, int number, int count, int bit = NO_BIT) {
            HostIo host(station, operand, number, count, bit);
            host.values[1] = 1;
            return Counted(code, &host.io, &made);
        };
        EXPECT_EQ(channel_.ColdStart(path_, TIMEOUT_UNITS), SUCCESS);
        EXPECT_EQ(io(CMD_BLOCK_READ, 1, 'W', 0x10, 2), SUCCESS);
        EXPECT_EQ(io(CMD_BLOCK_READ, 1, 'W', 0x100, 255), SUCCESS);
        EXPECT_EQ(io(CMD_BLOCK_READ, 2, 'B', 0x100, 200), SUCCESS);
        EXPECT_EQ(io(CMD_SINGLE_READ, 2, 'A', 0x1F7, 1), SUCCESS);
        EXPECT_EQ(io(CMD_SINGLE_READ, 1, 'E', 0x017, 1), SUCCESS);
        EXPECT_EQ(io(CMD_SINGLE_READ, 1, 'W', 0x10, 1, 3), SUCCESS);
        EXPECT_EQ(io(CMD_SINGLE_WRITE, 1, 'W', 0x10, 1), SUCCESS);
        EXPECT_EQ(io(CMD_SINGLE_WRITE, 1, 'W', 0x10, 1, 5), SUCCESS);
        EXPECT_EQ(io(CMD_BLOCK_WRITE, 2, 'B', 0x10, 40), SUCCESS);
        EXPECT_EQ(io(CMD_BLOCK_WRITE, 1, 'W', 0x300, 255), SUCCESS);
        EXPECT_EQ(io(CMD_SINGLE_WRITE, 1, 'E', 0x10, 1), REJECTED);

        sim_->ScriptFault(1, Fault{FaultKind::Silent}, 4);
        EXPECT_EQ(io(CMD_BLOCK_READ, 1, 'W', 0x10, 2), RECOVERY_ERROR);
        sim_->ScriptFault(1, Fault{FaultKind::Nak}, 1);
        sim_->ScriptFault(1, Fault{FaultKind::WrongStation}, 1);
        sim_->ScriptFault(1, Fault{FaultKind::Truncate, 1.0, 9}, 1);
        EXPECT_EQ(io(CMD_BLOCK_READ, 1, 'W', 0x10, 2), SUCCESS);
        sim_->ScriptFault(1, Fault{FaultKind::Extra, 1.0, 600}, 1);
        EXPECT_EQ(io(CMD_SINGLE_WRITE, 1, 'W', 0x10, 1), SUCCESS);
        WaitForInput(channel_, 600, std::chrono::seconds(10));    // the extra bytes are on the line
        EXPECT_EQ(io(CMD_BLOCK_READ, 1, 'W', 0x10, 2), SUCCESS);  // drains them first

        AddressParseBlock parse{};
        parse.text = "01W0010";
        EXPECT_EQ(Counted(CMD_SINGLE_ADDRESS_PARSER, &parse, &made), SUCCESS);
        parse.text = "02A1F7";  // logged as an invalid format
        parse.tagType = 6;
        EXPECT_EQ(Counted(CMD_BLOCK_ADDRESS_PARSER, &parse, &made), REJECTED);
        DriverInfoBlock info{};
        EXPECT_EQ(Counted(CMD_GET_KIV_INFO, &info, &made), SUCCESS);

        EXPECT_EQ(Counted(CMD_WARM_START, nullptr, &made), SUCCESS);
        EXPECT_EQ(Counted(CMD_CLOSE_COM, nullptr, &made), SUCCESS);
        EXPECT_EQ(Counted(CMD_REOPEN_COM, nullptr, &made), SUCCESS);
        ChangeParamsBlock change{};
        std::memcpy(change.portName, "NUL", 4);
        change.settings = Settings8N1();
        EXPECT_EQ(Counted(CMD_CHANGE_KIV_PARAMS, &change, &made), SUCCESS);
        std::memcpy(change.portName, "/tmp/kvnone", 12);
        EXPECT_EQ(Counted(CMD_CHANGE_KIV_PARAMS, &change, &made), RECOVERY_ERROR);  // logged
        ColdStartBlock start{};
        std::memcpy(start.portName, path_.c_str(), path_.size() + 1);
        start.enable = 1;
        start.timeout = TIMEOUT_UNITS;
        start.settings = Settings8N1();
        EXPECT_EQ(Counted(CMD_COLD_START, &start, &made), SUCCESS);
        EXPECT_EQ(Counted(CMD_CLOSE_COM, nullptr, &made), SUCCESS);
        EXPECT_EQ(Counted(CMD_END_KIV, nullptr, &made), SUCCESS);
        kiv::ResetDriverEndedForTests();
        return made;
    }

    std::unique_ptr<plcsim::Simulator> sim_;
    std::string path_;
    HostChannel channel_;
};

TEST_F(NoHeapInTheDriver, TheCounterSeesAllocations)
{
    long made = 0;
    allocations = 0;
    counting = true;
    void* p = std::malloc(16);
    int* q = new int(1);
    counting = false;
    made = allocations;
    std::free(p);
    delete q;
    EXPECT_EQ(made, 2);
}

TEST_F(NoHeapInTheDriver, NoAllocationInAnyCommandAfterTheWarmUp)
{
    reliability::CountingLog log;
    RunEverything();  // the C library's one-time set-up
    const long made = RunEverything();
    EXPECT_EQ(made, 0);
    EXPECT_GT(log.Lines(), 0);
}

}  // namespace
