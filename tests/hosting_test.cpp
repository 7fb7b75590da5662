// Hosting the driver (kiv_hosting): port names as the driver takes them,
// why a port does not open, the host's value arrays.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "hosting/port_access.h"
#include "hosting/port_name.h"
#include "hosting/session.h"

namespace {

using namespace kivhost;

// ---------------------------------------------------------------------------
// Port names and why a port does not open

TEST(PortName, FitsTheDriversElevenCharacters)
{
    struct {
        const char* given;
        const char* driver;  // empty: refused
    } const cases[] = {
        {"COM1", "COM1"},
        {"ttyUSB0", "ttyUSB0"},
        {"/dev/ttyS0", "/dev/ttyS0"},
        {"/dev/ttyUSB0", "ttyUSB0"},
        {"/dev/pts/123", "pts/123"},
        {"/tmp/plc1", "/tmp/plc1"},
        {"/tmp/plc123456", ""},
        {"", ""},
        {"/dev/serial/by-id/x", ""},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(DriverPortName(c.given, &error), c.driver) << c.given;
        EXPECT_EQ(error.empty(), c.driver[0] != '\0') << c.given;
    }
}

TEST(PortPermission, AGroupIsAdvisedOnlyWhenItMayReadAndWrite)
{
    constexpr unsigned CHR = 0020000;
    struct {
        const char* name;
        unsigned mode, group;
        const char* groupName;
        std::vector<unsigned> userGroups;
        const char* says;
        bool joinGroup;  // "usermod -aG" advised
    } const cases[] = {
        {"dialout 660, not in it", CHR | 0660, 20, "dialout", {1000}, "sudo usermod -aG dialout $USER", true},
        {"dialout 660, in it", CHR | 0660, 20, "dialout", {1000, 20}, "an access list or a security module", false},
        {"root 600",
         CHR | 0600,
         0,
         "root",
         {1000},
         "its mode crw------- (owner root, group root) gives its group no",
         false},
        {"console 620 tty", CHR | 0620, 5, "tty", {1000}, "its mode crw--w---- (owner root, group tty)", false},
        {"group may only read", CHR | 0640, 20, "dialout", {1000}, "crw-r----- ", false},
        {"others may read and write, not the group", CHR | 0606, 20, "dialout", {1000}, "crw----rw- ", false},
    };
    for (const auto& c : cases) {
        const std::string advice = PermissionAdvice({c.mode, c.group, "root", c.groupName}, c.userGroups, "/dev/x");
        EXPECT_NE(advice.find(c.says), std::string::npos) << c.name << ": " << advice;
        EXPECT_EQ(advice.find("usermod") != std::string::npos, c.joinGroup) << c.name << ": " << advice;
        EXPECT_EQ(advice.find("udev rule") != std::string::npos, !c.joinGroup && c.userGroups.size() == 1)
            << c.name << ": " << advice;
    }
}

TEST(PortTerminal, OnlyDevicesATerminalDriverServes)
{
    const std::string drivers = "/dev/tty             /dev/tty        5       0 system:/dev/tty\n"
                                "serial               /dev/ttyS       4      64-111 serial\n"
                                "pty_slave            /dev/pts      136-143 0-1048575 pty:slave\n"
                                "usbserial            /dev/ttyUSB   188 0-511 serial\n";
    struct {
        unsigned major, minor;
        bool terminal;
    } const cases[] = {
        {4, 64, true},  {4, 111, true}, {4, 112, false}, {136, 3, true}, {143, 9, true},
        {188, 0, true}, {5, 0, true},   {5, 1, false},   {1, 3, false},  {144, 0, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TtyDriverServes(drivers, c.major, c.minor), c.terminal) << c.major << ":" << c.minor;
}

// ---------------------------------------------------------------------------
// The host's value array

TEST(ValueArray, BitRunsArePackedLeastSignificantFirst)
{
    const DriverAddress bits{1, 'B', 0x100, NO_BIT, 1};
    std::vector<uint16_t> run(17, 0);
    run[0] = run[2] = run[16] = 1;
    const std::vector<uint16_t> array = PackValues(bits, run);
    ASSERT_GE(array.size(), 2u);
    EXPECT_EQ(array[0], 0x0005);
    EXPECT_EQ(array[1], 0x0001);
    EXPECT_EQ(UnpackValues(bits, 17, array), run);
}

}  // namespace
