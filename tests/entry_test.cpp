#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/commands.h"
#include "tests/log_capture.h"

namespace {

class EntryTest : public ::testing::Test {
protected:
    void SetUp() override { kiv::ResetDriverEndedForTests(); }
    void TearDown() override { kiv::ResetDriverEndedForTests(); }

    int32_t Call(uint32_t code, void* params = nullptr)
    {
        DriverRequest request{};
        request.channel = &channel_;
        request.code = code;
        request.params = params;
        return KivMain(&request);
    }

    ChannelBlock channel_{};
};

TEST_F(EntryTest, TableAndNamesAgree)
{
    for (int slot = 0; slot < COMMAND_SLOTS; ++slot) {
        const bool empty = std::strcmp(kiv::CommandNames[slot], "0") == 0;
        EXPECT_EQ(kiv::CommandTable[slot] == nullptr, empty) << slot + 1;
    }
    EXPECT_STREQ(kiv::CommandNames[CMD_GET_KIV_INFO - 1], "GetKivInfo");
    EXPECT_EQ(kiv::CommandTable[CMD_GET_KIV_INFO - 1], &kiv::GetKivInfo);
}

std::string ExpectedBanner()
{
    const std::string side = "\xBA";
    std::string banner = "\n";
    banner += " \xC9" + std::string(59, '\xCD') + "\xBB\n";
    banner += " " + side + " " + std::string(5, '\xDB') + std::string(6, '\xB2') + std::string(6, '\xB1') +
              std::string(6, '\xB0') + " K I V U X " + std::string(6, '\xB0') + std::string(6, '\xB1') +
              std::string(6, '\xB2') + std::string(5, '\xDB') + " " + side + "\n";
    banner += " " + side + std::string(9, ' ') + "Unitronix PLC Driver , Driver installed." + std::string(10, ' ') +
              side + "\n";
    banner += " " + side + std::string(22, ' ') + "PCON_NET protocol" + std::string(20, ' ') + side + "\n";
    banner += " \xC8" + std::string(59, '\xCD') + "\xBC\n";
    return banner;
}

TEST_F(EntryTest, GetKivInfoFillsItsWordsAndLeavesTheHostsAlone)
{
    LogCapture log;
    std::memset(&channel_, 0x5A, sizeof channel_);
    const ChannelBlock before = channel_;
    DriverInfoBlock info;
    std::memset(&info, 0xEE, sizeof info);

    ASSERT_EQ(Call(CMD_GET_KIV_INFO, &info), SUCCESS);
    EXPECT_EQ(info.word0, 70u);
    EXPECT_STREQ(info.shortName, "Unitronix PLC");
    EXPECT_EQ(info.channelBlockSize, 4140u);
    EXPECT_EQ(info.word4, 4u);
    EXPECT_EQ(info.word5, 0xEEEEEEEEu);
    EXPECT_EQ(info.word6, 0xEEEEEEEEu);
    EXPECT_EQ(info.word7, 3u);
    EXPECT_EQ(std::memcmp(&channel_, &before, sizeof channel_), 0);
    EXPECT_TRUE(log.Lines().empty());

    const std::string banner = info.banner;
    ASSERT_EQ(banner.size(), 379u);
    // The version line is the builder's own up to its last 12 characters.
    const size_t versionLine = 1 + 4 * 63;
    EXPECT_EQ(banner.substr(versionLine, 2), " \xBA");
    EXPECT_EQ(banner.substr(versionLine + 2 + 41, 12), "Version 7.00");
    EXPECT_EQ(banner.substr(versionLine + 2 + 53),
              std::string(6, ' ') + "\xBA\n" + ExpectedBanner().substr(versionLine));
    EXPECT_EQ(banner.substr(0, versionLine), ExpectedBanner().substr(0, versionLine));
}

TEST_F(EntryTest, AfterTheEndEveryCallSucceedsAndDoesNothing)
{
    LogCapture log;
    kiv::SetDriverEnded();

    DriverInfoBlock info;
    std::memset(&info, 0xEE, sizeof info);
    const DriverInfoBlock infoBefore = info;
    AddressParseBlock parse{};
    parse.text = "01W0010";
    parse.address = {9, 9, 9, 9, 9};
    std::memset(&channel_, 0x5A, sizeof channel_);
    const ChannelBlock before = channel_;

    for (uint32_t code = 0; code <= 17; ++code) {
        void* params = code == CMD_GET_KIV_INFO ? static_cast<void*>(&info) : static_cast<void*>(&parse);
        EXPECT_EQ(Call(code, params), SUCCESS) << code;
    }
    EXPECT_EQ(KivMain(nullptr), SUCCESS);
    EXPECT_EQ(std::memcmp(&info, &infoBefore, sizeof info), 0);
    EXPECT_EQ(parse.address.station, 9);
    EXPECT_EQ(std::memcmp(&channel_, &before, sizeof channel_), 0);
    EXPECT_TRUE(log.Lines().empty());
}

}  // namespace
