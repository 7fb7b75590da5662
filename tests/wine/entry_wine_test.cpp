// DAVODEV.dll as a Windows host loads it: beside the host's DORVAK.dll,
// KivMain found by name and by ordinal 1, log lines reaching the host's err.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "host_api/davodev.h"
#include "hosting/dorvak.h"
#include "tests/wine/wine_check.h"

namespace {

std::vector<std::pair<int, std::string>> logLines;

void CollectLine(int32_t level, const char* text, void*)
{
    logLines.emplace_back(level, text);
}

}  // namespace

int main()
{
    HMODULE dorvak = LoadLibraryA("DORVAK.dll");
    HMODULE driver = LoadLibraryA("DAVODEV.dll");
    WINE_CHECK(dorvak != nullptr);
    WINE_CHECK(driver != nullptr);
    if (dorvak == nullptr || driver == nullptr)
        return WineCheckResult("entry_wine_test");

    auto setSink = Proc<DorvakSetSinkFn>(dorvak, "DorvakSetSink");
    WINE_CHECK(setSink != nullptr);
    setSink(CollectLine, nullptr);

    auto byName = Proc<KivMainFn>(driver, "KivMain");
    auto byOrdinal = Proc<KivMainFn>(driver, MAKEINTRESOURCEA(1));
    WINE_CHECK(byName != nullptr);
    WINE_CHECK(byName == byOrdinal);
    WINE_CHECK(GetProcAddress(driver, "KivMain@4") == nullptr);
    if (byName == nullptr)
        return WineCheckResult("entry_wine_test");

    DriverRequest request{};
    DriverInfoBlock info;
    std::memset(&info, 0xEE, sizeof info);
    request.code = CMD_GET_KIV_INFO;
    request.params = &info;
    WINE_CHECK(byName(&request) == SUCCESS);
    WINE_CHECK(info.word0 == 70 && info.word4 == 4 && info.word7 == 3);
    WINE_CHECK(info.word5 == 0xEEEEEEEEu && info.word6 == 0xEEEEEEEEu);
    WINE_CHECK(info.channelBlockSize == 4140);
    WINE_CHECK(std::strcmp(info.shortName, "Unitronix PLC") == 0);
    WINE_CHECK(std::strlen(info.banner) == 379);
    WINE_CHECK(std::strstr(info.banner, "Version 7.00") != nullptr);

    request.code = 16;
    WINE_CHECK(byName(&request) == RECOVERY_ERROR);

    AddressParseBlock parse{};
    parse.text = "01w00105";
    parse.tagType = 6;
    parse.count = 1;
    request.code = CMD_SINGLE_ADDRESS_PARSER;
    request.params = &parse;
    WINE_CHECK(byName(&request) == SUCCESS);
    WINE_CHECK(parse.address.station == 1 && parse.address.operand == 'W');
    WINE_CHECK(parse.address.number == 0x10 && parse.address.bit == 5 && parse.address.width == 16);
    WINE_CHECK(logLines.empty());

    parse.text = "02A1F7";
    WINE_CHECK(byName(&request) == REJECTED);
    WINE_CHECK(logLines.size() == 1);
    if (logLines.size() == 1) {
        WINE_CHECK(logLines[0].first == LEVEL_ERROR);
        WINE_CHECK(logLines[0].second == "REVIZ: ParseAddress() Invalid Address Format");
    }

    setSink(nullptr, nullptr);
    return WineCheckResult("entry_wine_test");
}
