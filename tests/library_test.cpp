// The shared library as a host sees it: loaded at run time, one export, and
// log lines reaching the host's err rather than the C library's.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "davodev.h"
#include "log_capture.h"

namespace {

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string path = std::string(TEST_BIN_DIR) + "/libDAVODEV.so";
        library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << dlerror();
        kivMain_ = reinterpret_cast<KivMainFn>(dlsym(library_, "KivMain"));
        ASSERT_NE(kivMain_, nullptr);
    }
    void TearDown() override
    {
        if (library_ != nullptr)
            dlclose(library_);
    }

    void* library_ = nullptr;
    KivMainFn kivMain_ = nullptr;
};

TEST_F(LibraryTest, OnlyKivMainIsExported)
{
    EXPECT_EQ(dlsym(library_, "ParseAddress"), nullptr);
    EXPECT_EQ(dlsym(library_, "_ZN3kiv12ParseAddressEP17AddressParseBlockNS_9ParseModeE"), nullptr);
}

TEST_F(LibraryTest, ParserLogsThroughTheHostsErr)
{
    // Had the driver bound glibc's err(3), this call would end the process.
    LogCapture log;
    AddressParseBlock block{};
    block.text = "02A1F7";
    block.tagType = 6;
    DriverRequest request{};
    request.code = CMD_SINGLE_ADDRESS_PARSER;
    request.params = &block;
    EXPECT_EQ(kivMain_(&request), REJECTED);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{{LEVEL_ERROR, "REVIZ: ParseAddress() Invalid Address Format"}}));

    block.text = "01W00105";
    EXPECT_EQ(kivMain_(&request), SUCCESS);
    EXPECT_EQ(block.address.bit, 5);
}

TEST_F(LibraryTest, UnknownCodeAndInfo)
{
    DriverRequest request{};
    request.code = 9;
    EXPECT_EQ(kivMain_(&request), RECOVERY_ERROR);
    DriverInfoBlock info{};
    request.code = CMD_GET_KIV_INFO;
    request.params = &info;
    EXPECT_EQ(kivMain_(&request), SUCCESS);
    EXPECT_EQ(info.channelBlockSize, 4140u);
}

}  // namespace
