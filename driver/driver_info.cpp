#include <array>
#include <string_view>

#include "davodev_version.h"
#include "driver/commands.h"

namespace kiv {
namespace {

// Code page 437 frame and shade characters.
constexpr char TOP_LEFT = '\xC9', TOP_RIGHT = '\xBB', BOTTOM_LEFT = '\xC8', BOTTOM_RIGHT = '\xBC';
constexpr char DOUBLE_BAR = '\xCD', DOUBLE_SIDE = '\xBA';
constexpr char FULL = '\xDB', DARK = '\xB2', MEDIUM = '\xB1', LIGHT = '\xB0';

constexpr std::string_view VERSION_LINE = "  DAVODEV serial driver, Unitronix PLCs  Version 7.00";
static_assert(VERSION_LINE.size() == 53 && VERSION_LINE.ends_with("Version 7.00"));
// Hosts read the banner's version as it is: a project version other than 7.0.x
// needs the banner changed with it.
static_assert(VERSION_LINE.ends_with(BANNER_VERSION), "the banner's version line and the project's version differ");

constexpr size_t BANNER_LENGTH = 379;  // a line feed, then six framed lines of 62 and a line feed each

struct BannerWriter {
    std::array<char, BANNER_LENGTH + 1> text{};
    size_t at = 0;

    constexpr void Put(char c, size_t times = 1)
    {
        for (size_t i = 0; i < times; ++i)
            text[at++] = c;
    }
    constexpr void Put(std::string_view s)
    {
        for (char c : s)
            text[at++] = c;
    }
};

constexpr BannerWriter MakeBanner()
{
    BannerWriter w;
    w.Put('\n');

    // The calls grouped as the banner is drawn, a blank line between its lines.
    // clang-format off
    w.Put(' '); w.Put(TOP_LEFT); w.Put(DOUBLE_BAR, 59); w.Put(TOP_RIGHT); w.Put('\n');

    w.Put(' '); w.Put(DOUBLE_SIDE); w.Put(' ');
    w.Put(FULL, 5); w.Put(DARK, 6); w.Put(MEDIUM, 6); w.Put(LIGHT, 6);
    w.Put(" K I V U X ");
    w.Put(LIGHT, 6); w.Put(MEDIUM, 6); w.Put(DARK, 6); w.Put(FULL, 5);
    w.Put(' '); w.Put(DOUBLE_SIDE); w.Put('\n');

    w.Put(' '); w.Put(DOUBLE_SIDE); w.Put(' ', 9);
    w.Put("Unitronix PLC Driver , Driver installed.");
    w.Put(' ', 10); w.Put(DOUBLE_SIDE); w.Put('\n');

    w.Put(' '); w.Put(DOUBLE_SIDE); w.Put(' ', 22);
    w.Put("PCON_NET protocol");
    w.Put(' ', 20); w.Put(DOUBLE_SIDE); w.Put('\n');

    w.Put(' '); w.Put(DOUBLE_SIDE); w.Put(VERSION_LINE); w.Put(' ', 6); w.Put(DOUBLE_SIDE); w.Put('\n');

    w.Put(' '); w.Put(BOTTOM_LEFT); w.Put(DOUBLE_BAR, 59); w.Put(BOTTOM_RIGHT); w.Put('\n');
    // clang-format on

    return w;
}

constexpr BannerWriter BANNER_WRITER = MakeBanner();
static_assert(BANNER_WRITER.at == BANNER_LENGTH, "a count in the banner is wrong");
constexpr std::array<char, BANNER_LENGTH + 1> BANNER = BANNER_WRITER.text;  // NUL-terminated by its zero fill
constexpr char SHORT_NAME[] = "Unitronix PLC";

}  // namespace

int32_t GetKivInfo(DriverRequest* request)
{
    auto* info = static_cast<DriverInfoBlock*>(request->params);
    if (info == nullptr)
        return REJECTED;
    info->word0 = 70;
    info->shortName = SHORT_NAME;
    info->banner = BANNER.data();
    info->channelBlockSize = CHANNEL_BLOCK_SIZE;
    info->word4 = 4;
    info->word7 = 3;
    return SUCCESS;
}

}  // namespace kiv
