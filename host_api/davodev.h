// DAVODEV: serial driver for Unitronix PLCs (PCON_NET protocol).
//
// The records a host shares with the driver in every call of KivMain, the
// result codes and the command codes. Every record belongs to the host.
// On 32-bit Windows the layouts are fixed byte for byte (checked below); on
// 64-bit platforms the same structs take natural alignment, except
// ChannelBlock, which has no pointers and keeps its 4140 bytes everywhere.
#ifndef DAVODEV_H
#define DAVODEV_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define KIV_CALL __stdcall
#else
#define KIV_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Result codes of KivMain and of every command.
enum {
    SUCCESS = 0,
    REJECTED = 1,        // cannot be done as asked: bad address, port disabled, operand not writable
    RECOVERY_ERROR = 2,  // line, PLC or port failure, or no such command
};

// Command codes (slot n - 1 of the command table).
enum {
    CMD_COLD_START = 1,
    CMD_WARM_START = 2,
    CMD_SINGLE_ADDRESS_PARSER = 3,
    CMD_BLOCK_ADDRESS_PARSER = 4,
    CMD_SINGLE_READ = 5,
    CMD_BLOCK_READ = 6,
    CMD_SINGLE_WRITE = 7,
    CMD_BLOCK_WRITE = 10,
    CMD_END_KIV = 11,
    CMD_CLOSE_COM = 12,
    CMD_REOPEN_COM = 13,
    CMD_GET_KIV_INFO = 14,
    CMD_CHANGE_KIV_PARAMS = 15,
};

enum { COMMAND_SLOTS = 16 };

// Levels of the host log function err.
enum { LEVEL_INFO = 16, LEVEL_ERROR = 32 };

enum {
    CHANNEL_BLOCK_SIZE = 4140,
    TX_AREA_SIZE = 2048,
    RX_AREA_SIZE = 2052,
    PORT_NAME_SIZE = 12,  // 11 characters and the NUL
    LINE_FLAGS_DTR_RTS_ON = 0x0303,
    NO_BIT = 255,
    MAX_COUNT = 255,
};

typedef struct PortSettings {
    uint16_t baudRate;  // bits per second, up to 65535
    uint16_t dataBits;  // low byte used
    uint16_t stopBits;  // low byte: 0 one, 1 one and a half, 2 two
    uint16_t parity;    // low byte: 0 none, 1 odd, 2 even, 3 mark, 4 space
} PortSettings;

typedef struct ChannelBlock {
    uint32_t readTimeout;  // reply time-out, 10 ms units
    uint32_t portEnabled;
    uint32_t portHandle;  // 0: no port, on every platform
    char portName[PORT_NAME_SIZE];
    PortSettings settings;
    uint16_t lineFlags;
    uint8_t unused[6];
    uint8_t txArea[TX_AREA_SIZE];
    uint8_t rxArea[RX_AREA_SIZE];
} ChannelBlock;

typedef struct DriverRequest {
    ChannelBlock* channel;
    uint32_t code;
    uint8_t hostFields[8];
    void* params;
} DriverRequest;

typedef struct DriverAddress {
    int32_t station;  // 1 to 32
    int32_t operand;  // 'A', 'B', 'E' or 'W'
    int32_t number;   // 0x0000 to 0xFFFF; A and E: byte << 4 | bit
    int32_t bit;      // bit of a word, 0 to 15, or NO_BIT
    int32_t width;    // 1 for bit operands, 16 for W
} DriverAddress;

typedef struct AddressParseBlock {
    const char* text;
    uint8_t unused[4];
    uint32_t tagType;  // 6: single bit; 0 and 1: whole word
    int32_t count;
    DriverAddress address;
} AddressParseBlock;

typedef struct IoBlock {
    uint8_t hostFields[8];
    DriverAddress address;
    uint8_t unused1[4];
    int32_t count;  // 0 to 255
    uint8_t unused2[4];
    uint16_t* values;  // count 1: element 1; else words, or bits LSB first
} IoBlock;

typedef struct ColdStartBlock {
    char portName[PORT_NAME_SIZE];
    uint32_t enable;
    uint32_t timeout;  // 10 ms units
    PortSettings settings;
} ColdStartBlock;

typedef struct ChangeParamsBlock {
    char portName[16];
    PortSettings settings;  // baudRate 0: keep the current settings
} ChangeParamsBlock;

typedef struct DriverInfoBlock {
    uint32_t word0;  // 70
    const char* shortName;
    const char* banner;
    uint32_t channelBlockSize;
    uint32_t word4;  // 4
    uint32_t word5;  // left to the host
    uint32_t word6;  // left to the host
    uint32_t word7;  // 3
} DriverInfoBlock;

typedef int32_t(KIV_CALL* KivMainFn)(DriverRequest* request);

#if defined(_WIN32)
int32_t __stdcall KivMain(DriverRequest* request);
#else
__attribute__((visibility("default"))) int32_t KivMain(DriverRequest* request);
#endif

#ifdef __cplusplus
}  // extern "C"
#endif

#ifdef __cplusplus
#define KIV_STATIC_ASSERT static_assert
#else
#define KIV_STATIC_ASSERT _Static_assert
#endif

KIV_STATIC_ASSERT(sizeof(PortSettings) == 8, "PortSettings is 8 bytes");
KIV_STATIC_ASSERT(sizeof(DriverAddress) == 20, "DriverAddress is 20 bytes");
KIV_STATIC_ASSERT(sizeof(ChannelBlock) == 4140, "ChannelBlock is 4140 bytes");
KIV_STATIC_ASSERT(offsetof(ChannelBlock, portEnabled) == 4, "");
KIV_STATIC_ASSERT(offsetof(ChannelBlock, portHandle) == 8, "");
KIV_STATIC_ASSERT(offsetof(ChannelBlock, portName) == 12, "");
KIV_STATIC_ASSERT(offsetof(ChannelBlock, settings) == 24, "");
KIV_STATIC_ASSERT(offsetof(ChannelBlock, lineFlags) == 32, "");
KIV_STATIC_ASSERT(offsetof(ChannelBlock, txArea) == 40, "");
KIV_STATIC_ASSERT(offsetof(ChannelBlock, rxArea) == 2088, "");
KIV_STATIC_ASSERT(offsetof(PortSettings, dataBits) == 2, "");
KIV_STATIC_ASSERT(offsetof(PortSettings, stopBits) == 4, "");
KIV_STATIC_ASSERT(offsetof(PortSettings, parity) == 6, "");
KIV_STATIC_ASSERT(offsetof(DriverAddress, operand) == 4, "");
KIV_STATIC_ASSERT(offsetof(DriverAddress, number) == 8, "");
KIV_STATIC_ASSERT(offsetof(DriverAddress, bit) == 12, "");
KIV_STATIC_ASSERT(offsetof(DriverAddress, width) == 16, "");
KIV_STATIC_ASSERT(sizeof(ColdStartBlock) == 28, "");
KIV_STATIC_ASSERT(offsetof(ColdStartBlock, enable) == 12, "");
KIV_STATIC_ASSERT(offsetof(ColdStartBlock, timeout) == 16, "");
KIV_STATIC_ASSERT(offsetof(ColdStartBlock, settings) == 20, "");
KIV_STATIC_ASSERT(sizeof(ChangeParamsBlock) == 24, "");
KIV_STATIC_ASSERT(offsetof(ChangeParamsBlock, settings) == 16, "");

#if UINTPTR_MAX == 0xFFFFFFFFu
// The pointer-carrying records, as the 32-bit host lays them out.
KIV_STATIC_ASSERT(sizeof(DriverRequest) == 20, "");
KIV_STATIC_ASSERT(offsetof(DriverRequest, code) == 4, "");
KIV_STATIC_ASSERT(offsetof(DriverRequest, hostFields) == 8, "");
KIV_STATIC_ASSERT(offsetof(DriverRequest, params) == 16, "");
KIV_STATIC_ASSERT(sizeof(AddressParseBlock) == 36, "");
KIV_STATIC_ASSERT(offsetof(AddressParseBlock, tagType) == 8, "");
KIV_STATIC_ASSERT(offsetof(AddressParseBlock, count) == 12, "");
KIV_STATIC_ASSERT(offsetof(AddressParseBlock, address) == 16, "");
KIV_STATIC_ASSERT(sizeof(IoBlock) == 44, "");
KIV_STATIC_ASSERT(offsetof(IoBlock, address) == 8, "");
KIV_STATIC_ASSERT(offsetof(IoBlock, count) == 32, "");
KIV_STATIC_ASSERT(offsetof(IoBlock, values) == 40, "");
KIV_STATIC_ASSERT(sizeof(DriverInfoBlock) == 32, "");
KIV_STATIC_ASSERT(offsetof(DriverInfoBlock, shortName) == 4, "");
KIV_STATIC_ASSERT(offsetof(DriverInfoBlock, banner) == 8, "");
KIV_STATIC_ASSERT(offsetof(DriverInfoBlock, channelBlockSize) == 12, "");
KIV_STATIC_ASSERT(offsetof(DriverInfoBlock, word4) == 16, "");
KIV_STATIC_ASSERT(offsetof(DriverInfoBlock, word5) == 20, "");
KIV_STATIC_ASSERT(offsetof(DriverInfoBlock, word6) == 24, "");
KIV_STATIC_ASSERT(offsetof(DriverInfoBlock, word7) == 28, "");
#endif

#endif  // DAVODEV_H
