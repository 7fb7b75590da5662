// DAVODEV.dll end to end under wine: a COM port of the prefix linked to a
// pseudo-terminal where plcsim answers as station 1 (station 2 is absent).
// Expects W0010 = 0x1234 and W0011 = 0xABCD in station 1.
#include <cstring>
#include <string>
#include <vector>

#include "host_api/davodev.h"
#include "hosting/dorvak.h"
#include "tests/wine/wine_check.h"

namespace {

struct Line {
    int level;
    std::string text;
};
std::vector<Line> logLines;

void CollectLine(int32_t level, const char* text, void*)
{
    logLines.push_back({level, text});
}

KivMainFn kivMain;
ChannelBlock channel;

int32_t CallOn(ChannelBlock& block, uint32_t code, void* params)
{
    DriverRequest request{};
    request.channel = &block;
    request.code = code;
    request.params = params;
    return kivMain(&request);
}

int32_t Call(uint32_t code, void* params)
{
    return CallOn(channel, code, params);
}

int32_t Io(uint32_t code, int32_t station, int32_t number, int32_t count, uint16_t* values)
{
    IoBlock io{};
    io.address = {station, 'W', number, NO_BIT, 16};
    io.count = count;
    io.values = values;
    return Call(code, &io);
}

// The traces go to standard output; a file stands in for it while they are checked.
class TraceFile {
public:
    explicit TraceFile(const char* path) : path_(path) { WINE_CHECK(std::freopen(path, "w", stdout) != nullptr); }
    std::string Take()
    {
        std::fflush(stdout);
        std::freopen("NUL", "w", stdout);
        std::string text;
        if (FILE* f = std::fopen(path_, "r")) {
            char buffer[4096];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
                text.append(buffer, n);
            std::fclose(f);
        }
        std::remove(path_);
        return text;
    }

private:
    const char* path_;
};

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

size_t CountLog(const Line& expected)
{
    size_t n = 0;
    for (const Line& line : logLines)
        n += line.level == expected.level && line.text == expected.text;
    return n;
}

const char* const INSTALLED =
    "REVIZ: \xB0\xB0\xB1\xB1\xB2\xB2\xDB\xDB 32 Bit driver Installed \xDB\xDB\xB2\xB2\xB1\xB1\xB0\xB0";
const char* const ENDED =
    "REVIZ: \xB0\xB0\xB1\xB1\xB2\xB2\xDB\xDB 32 Bit driver Ended \xDB\xDB\xB2\xB2\xB1\xB1\xB0\xB0";

}  // namespace

// Station 1 read beside station 2, which the line's simulator makes
// faulty on a paced line: every read of station 1 must still come back
// good, as it does on Linux.
int HealthyBesideFaulty()
{
    int good = 0;
    constexpr int READS = 100;
    TraceFile quiet("io_wine_neighbour.txt");
    for (int i = 0; i < READS; ++i) {
        uint16_t healthy[2] = {0, 0};
        good += Io(CMD_SINGLE_READ, 1, 0x10, 1, healthy) == SUCCESS && healthy[1] == 0x1234;
        uint16_t faulty[2] = {0, 0};
        (void)Io(CMD_SINGLE_READ, 2, 0x10, 1, faulty);
    }
    (void)quiet.Take();
    WINE_CHECK(good >= READS * 99 / 100);
    if (good < READS * 99 / 100)
        std::fprintf(stderr, "station 1 good in %d of %d reads\n", good, READS);
    return WineCheckResult("io_wine_test neighbour");
}

int main(int argc, char** argv)
{
    const char* port = argc > 1 ? argv[1] : "COM7";
    const bool neighbour = argc > 2 && std::strcmp(argv[2], "neighbour") == 0;
    HMODULE dorvak = LoadLibraryA("DORVAK.dll");
    HMODULE driver = LoadLibraryA("DAVODEV.dll");
    WINE_CHECK(dorvak != nullptr && driver != nullptr);
    if (dorvak == nullptr || driver == nullptr)
        return WineCheckResult("io_wine_test");
    Proc<DorvakSetSinkFn>(dorvak, "DorvakSetSink")(CollectLine, nullptr);
    kivMain = Proc<KivMainFn>(driver, "KivMain");

    ColdStartBlock start{};
    std::strcpy(start.portName, port);
    start.enable = 1;
    start.timeout = 10;
    start.settings = {9600, 8, 0, 0};
    WINE_CHECK(Call(CMD_COLD_START, &start) == SUCCESS);
    WINE_CHECK(logLines.size() == 1 && logLines[0].level == LEVEL_INFO && logLines[0].text == INSTALLED);
    WINE_CHECK(channel.portHandle != 0);
    if (neighbour)
        return HealthyBesideFaulty();

    // The road of one read, byte for byte as on Linux.
    logLines.clear();
    uint16_t values[4] = {0xBEEF, 0xBEEF, 0xBEEF, 0xBEEF};
    TraceFile road("io_wine_road.txt");
    const int32_t roadResult = Io(CMD_BLOCK_READ, 1, 0x10, 2, values);
    const std::string roadTrace = road.Take();
    WINE_CHECK(roadResult == SUCCESS);
    WINE_CHECK(values[0] == 0x1234 && values[1] == 0xABCD && values[2] == 0xBEEF);
    WINE_CHECK(roadTrace == "REVIZ: 14 bytes will be send\n(/01RW0010022D.)\nREVIZ: 7 bytes received\n(/A01RW1)\n"
                            "REVIZ: 10 bytes received\n(234ABCD1F.)\n");
    WINE_CHECK(logLines.size() == 1 && CountLog({LEVEL_INFO, "REVIZ: 14 bytes will be send"}) == 1);
    if (roadResult != SUCCESS || roadTrace.size() < 20)
        std::fprintf(stderr, "trace was:\n%s\n", roadTrace.c_str());

    // A write and its read-back.
    uint16_t write[2] = {0, 0x5A5A};
    WINE_CHECK(Io(CMD_SINGLE_WRITE, 1, 0x20, 1, write) == SUCCESS);
    uint16_t back[2] = {0, 0};
    WINE_CHECK(Io(CMD_SINGLE_READ, 1, 0x20, 1, back) == SUCCESS);
    WINE_CHECK(back[1] == 0x5A5A);

    // Stale blocks: the host's own file and this channel's live port, each
    // written into a garbage-filled block before its first ColdStart, stay
    // open; so does the file through the block's CloseCom.
    HANDLE file = CreateFileA("io_wine_stale.tmp", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    WINE_CHECK(file != INVALID_HANDLE_VALUE);
    const uint32_t fileHandle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(file));
    ColdStartBlock nul{};
    std::strcpy(nul.portName, "NUL");
    nul.enable = 1;
    nul.timeout = 10;
    nul.settings = {9600, 8, 0, 0};
    for (const uint32_t stale : {fileHandle, channel.portHandle}) {
        ChannelBlock block;
        std::memset(&block, 0x6B, sizeof block);
        block.portHandle = stale;
        WINE_CHECK(CallOn(block, CMD_COLD_START, &nul) == SUCCESS);
        WINE_CHECK(block.portHandle != 0 && block.portHandle != stale);
        WINE_CHECK(CallOn(block, CMD_CLOSE_COM, nullptr) == SUCCESS);
    }
    ChannelBlock block;
    std::memset(&block, 0x6B, sizeof block);
    block.portHandle = fileHandle;
    WINE_CHECK(CallOn(block, CMD_CLOSE_COM, nullptr) == SUCCESS);
    WINE_CHECK(block.portHandle == 0);
    DWORD fileWritten = 0;
    WINE_CHECK(WriteFile(file, "still open", 10, &fileWritten, nullptr) && fileWritten == 10);
    WINE_CHECK(CloseHandle(file));
    uint16_t again[2] = {0, 0};
    WINE_CHECK(Io(CMD_SINGLE_READ, 1, 0x10, 1, again) == SUCCESS);
    WINE_CHECK(again[1] == 0x1234);

    // A silent station: four attempts, each ending in a time-out.
    logLines.clear();
    uint16_t silent[2] = {0x7777, 0x7777};
    const DWORD before = GetTickCount();
    TraceFile retries("io_wine_silent.txt");
    const int32_t silentResult = Io(CMD_BLOCK_READ, 2, 0x10, 1, silent);
    const std::string silentTrace = retries.Take();
    const DWORD elapsed = GetTickCount() - before;
    WINE_CHECK(silentResult == RECOVERY_ERROR);
    WINE_CHECK(silent[0] == 0x7777 && silent[1] == 0x7777);
    WINE_CHECK(Count(silentTrace, "REVIZ: 14 bytes will be send\n") == 4);
    WINE_CHECK(Count(silentTrace, "REVIZ: 0 bytes received\n") == 4);
    WINE_CHECK(CountLog({LEVEL_INFO, "Receive() will return RECOVERY_ERROR"}) == 4);
    WINE_CHECK(elapsed >= 350 && elapsed < 5000);
    std::fprintf(stderr, "silent station: %lu ms for four attempts of 100 ms\n", static_cast<unsigned long>(elapsed));

    logLines.clear();
    WINE_CHECK(Call(CMD_END_KIV, nullptr) == SUCCESS);
    WINE_CHECK(channel.portHandle == 0);
    WINE_CHECK(logLines.size() == 1 && logLines[0].text == ENDED);
    WINE_CHECK(Call(CMD_COLD_START, &start) == SUCCESS && channel.portHandle == 0);  // ended: nothing runs

    return WineCheckResult("io_wine_test");
}
