// The driver's messages to the host log, byte for byte as hosts expect them.
// The decorations are code page 437 shade and block characters.
#ifndef DAVODEV_LOG_MESSAGES_H
#define DAVODEV_LOG_MESSAGES_H

namespace kiv {

#define KIV_DECORATION_IN "\xB0\xB0\xB1\xB1\xB2\xB2\xDB\xDB"
#define KIV_DECORATION_OUT "\xDB\xDB\xB2\xB2\xB1\xB1\xB0\xB0"

inline constexpr const char* MSG_INSTALLED = "REVIZ: " KIV_DECORATION_IN " 32 Bit driver Installed " KIV_DECORATION_OUT;
inline constexpr const char* MSG_ENDED = "REVIZ: " KIV_DECORATION_IN " 32 Bit driver Ended " KIV_DECORATION_OUT;
inline constexpr const char* MSG_NEW_PORT_FAILED = "REVUD> ChangeKivParams() open new COM port failed";
inline constexpr const char* MSG_WILL_SEND = "REVIZ: %d bytes will be send";
inline constexpr const char* MSG_RECEIVED_LINE = "       %s";
inline constexpr const char* MSG_RECEIVE_FAILED = "Receive() will return RECOVERY_ERROR";
inline constexpr const char* MSG_INVALID_ADDRESS = "REVIZ: ParseAddress() Invalid Address Format";

#undef KIV_DECORATION_IN
#undef KIV_DECORATION_OUT

}  // namespace kiv

#endif  // DAVODEV_LOG_MESSAGES_H
