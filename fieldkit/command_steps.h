// The steps kivhost's talking commands share, each a host's run from
// GetKivInfo to EndKiv: the channel started, an address parsed and checked,
// the line opened, and a failure told on standard error (and to scripts in
// the command's document).
#ifndef DAVODEV_FIELDKIT_COMMAND_STEPS_H
#define DAVODEV_FIELDKIT_COMMAND_STEPS_H

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/exchange_report.h"
#include "fieldkit/json_parts.h"
#include "fieldkit/parser_hint.h"
#include "fieldkit/tool_options.h"
#include "hosting/driver_output.h"
#include "hosting/session.h"

namespace kivhost {

struct Context {
    const Options& options;
    Session& session;
    DriverOutput& output;
    std::string library;
    ExchangeReporter reporter{};  // the checksums of each station's replies, over the whole run
};

// A line of kivhost's on standard error, "kivhost: " first (or the name
// of the program that shares these steps, once it has set it).
void Tell(const std::string& message);
void SetProgramName(const char* name);
// The one-line message of a failed run, told; returns status.
int Complain(int status, const std::string& message);
// The exit status a driver result leads to.
int StatusOf(int32_t result);
// EXIT_DONE after SUCCESS, else failure complained of.
int Conclude(int32_t result, const std::string& failure);

// A result document, stamped with the time it was made, on the results.
void Emit(Context& context, JsonObject json);
// A failure before any exchange: the one line on standard error and, for
// scripts, the document that led to it with the same line in it. reason:
// "driver" (GetKivInfo), "rejected" (by the parser), "check" (a run or
// value that cannot be sent) or "port".
int Fail(Context& context, JsonObject json, int status, const char* reason, const std::string& message);

// GetKivInfo did not answer as the driver does; more follows the result.
std::string NoDriverMessage(const Context& context, int32_t result, const std::string& more = "");

const char* ParserName(bool block);  // SingleAddressParser or BlockAddressParser
// The session's parser asked about an address, not as a step of the run.
AddressParser AddressParserOf(Session& session);
// Why the parser rejects the address, and what to try; asks the parser
// about variants of it, so before EndKiv.
std::string ParseRejection(Session& session, const std::string& text, bool block, uint32_t tagType, int32_t count);

// Each step: EXIT_DONE, or the status to leave with, explained on standard
// error (and in json with --json) and the driver ended.
//
// StartChannel: GetKivInfo and ColdStart with the port left closed, for the
// parsers.
int StartChannel(Context& context, const JsonObject& json);
// The address through the parser a host would use for this count; then
// what only the parser's answer lets kivhost check: that the run stays in
// its area, and that the values to write (nullptr: a read) fit it.
int ParseForIo(Context& context, const std::string& text, int32_t count, const std::vector<uint16_t>* values,
               DriverAddress* address, const JsonObject& json);
// The port checked as far as the system shows it, then opened by the driver.
int OpenLine(Context& context, const JsonObject& json);

}  // namespace kivhost

#endif  // DAVODEV_FIELDKIT_COMMAND_STEPS_H
