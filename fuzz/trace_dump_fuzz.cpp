// TraceDump against the plain rendering it stands for: any bytes, with and
// without line logging. Each 33 bytes make a line, CR shown as "."; a line
// prints as printf("(%s)\n") would print it, so its text stops at a zero
// byte; full lines are also logged (as "       %s") when asked, the last,
// shorter one never. The standard output and the log lines must match the
// rendering exactly.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "protocol/exchange.h"

namespace {

std::vector<std::string> logged;

void Collect(int32_t level, const char* text, void*)
{
    FUZZ_CHECK(level == LEVEL_INFO);
    logged.emplace_back(text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::QuietDriverOutput();
    DorvakSetSink(Collect, nullptr);
    return 0;
}

// Input: a flags byte (bit 0: log full lines), then the bytes to trace.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const bool logLines = data[0] & 1;
    const uint8_t* bytes = data + 1;
    const uint32_t n = static_cast<uint32_t>(size - 1);

    std::string wantOut;
    std::vector<std::string> wantLog;
    for (uint32_t start = 0; start < n; start += kiv::TRACE_LINE) {
        const uint32_t end = start + kiv::TRACE_LINE < n ? start + kiv::TRACE_LINE : n;
        std::string text;
        for (uint32_t i = start; i < end && bytes[i] != 0; ++i)
            text += bytes[i] == 0x0D ? '.' : static_cast<char>(bytes[i]);
        wantOut += "(" + text + ")\n";
        if (logLines && end - start == kiv::TRACE_LINE)
            wantLog.push_back("       " + text);
    }

    // The driver writes to stdout: point it at memory for the call.
    char* buffer = nullptr;
    size_t length = 0;
    FILE* memory = open_memstream(&buffer, &length);
    FUZZ_CHECK(memory != nullptr);
    FILE* const saved = stdout;
    stdout = memory;
    logged.clear();
    kiv::TraceDump(bytes, n, logLines);
    std::fflush(memory);
    stdout = saved;
    const std::string out(buffer, length);
    std::fclose(memory);
    std::free(buffer);

    FUZZ_CHECK(out == wantOut);
    FUZZ_CHECK(logged == wantLog);
    return 0;
}
