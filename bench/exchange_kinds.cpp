#include "bench/exchange_kinds.h"

#include <cstring>
#include <stdexcept>

#include "bench/bench_line.h"
#include "bench/report.h"

namespace kivbench {

namespace {

std::string WordData(int count)
{
    std::string data;
    for (int i = 0; i < count; ++i)
        data += Format("%04X", static_cast<unsigned>((0x1234 + i * 0x0101) & 0xFFFF));
    return data;
}

}  // namespace

std::vector<ExchangeKind> Kinds()
{
    return {
        {"BlockRead 2 words", CMD_BLOCK_READ, 2, Framed("01RW001002"), Framed("A01RW" + WordData(2)), 7, 10},
        {"BlockRead 255 words", CMD_BLOCK_READ, 255, Framed("01RW0010FF"), Framed("A01RW" + WordData(255)), 7,
         255 * 4 + 2},
        {"SingleWrite 1 word", CMD_SINGLE_WRITE, 1, Framed("01SW0010011234"), Framed("A01SW"), 9, 0},
    };
}

DriverSide::DriverSide(const ExchangeKind& kind, int32_t number) : io(number, kind.count)
{
    io.values[1] = 0x1234;  // what the write sends
    request.channel = &channel.block;
    request.code = kind.code;
    request.params = &io.io;
}

void Require(bool condition, const std::string& what)
{
    if (!condition)
        throw std::runtime_error(what);
}

void CheckSameFrame(const DriverSide& side, const ExchangeKind& kind)
{
    Require(std::memcmp(side.channel.block.txArea, kind.request.data(), kind.request.size()) == 0,
            std::string(kind.name) + ": the driver's frame differs from the floor's");
}

}  // namespace kivbench
