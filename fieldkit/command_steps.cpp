#include "fieldkit/command_steps.h"

#include <cstdio>
#include <utility>

#include "common/tag_text.h"
#include "common/time_stamp.h"
#include "common/tool_text.h"
#include "hosting/port_check.h"
#include "wire/address_area.h"

namespace kivhost {
namespace {

// A step that failed, after the driver is ended.
int EndAndFail(Context& context, JsonObject json, int status, const char* reason, const std::string& message)
{
    context.session.End();
    return Fail(context, std::move(json), status, reason, message);
}

// The document of a failed call of the driver.
JsonObject CallJson(const JsonObject& json, const char* stage, int32_t result)
{
    JsonObject call(json);
    return ResultJson(call.Text("stage", stage), result);
}

const char* programName = "kivhost";

}  // namespace

void SetProgramName(const char* name)
{
    programName = name;
}

void Tell(const std::string& message)
{
    std::fprintf(stderr, "%s: %s\n", programName, message.c_str());
    std::fflush(stderr);
}

int Complain(int status, const std::string& message)
{
    Tell(message);
    return status;
}

int StatusOf(int32_t result)
{
    return result == SUCCESS ? EXIT_DONE : result == REJECTED ? EXIT_REJECTED : EXIT_FAILED;
}

int Conclude(int32_t result, const std::string& failure)
{
    return result == SUCCESS ? EXIT_DONE : Complain(StatusOf(result), failure);
}

void Emit(Context& context, JsonObject json)
{
    json.Text("time", UtcTimestamp());
    std::fprintf(context.output.Results(), "%s\n", json.Done().c_str());
    std::fflush(context.output.Results());
}

int Fail(Context& context, JsonObject json, int status, const char* reason, const std::string& message)
{
    if (context.options.json)
        Emit(context, json.Text("reason", reason).Number("attempts", 0).Text("message", message));
    return Complain(status, message);
}

std::string NoDriverMessage(const Context& context, int32_t result, const std::string& more)
{
    return "GetKivInfo returned " + ResultName(result) + more + "; is " + context.library +
           " the DAVODEV driver? Give --lib PATH";
}

const char* ParserName(bool block)
{
    return block ? "BlockAddressParser" : "SingleAddressParser";
}

AddressParser AddressParserOf(Session& session)
{
    return [&session](const std::string& text, bool block, uint32_t tagType, int32_t count, DriverAddress* address) {
        return session.ProbeParse(text, block, tagType, count, address);
    };
}

std::string ParseRejection(Session& session, const std::string& text, bool block, uint32_t tagType, int32_t count)
{
    return "the driver rejects address \"" + text + "\" (" + ParserName(block) + ", tag type " +
           std::to_string(tagType) + ", count " + std::to_string(count) +
           "): " + RejectionHint(AddressParserOf(session), text, block, tagType, count);
}

// ColdStart with the port left closed: the parsers need no more, and
// nothing can fail on the line yet.
int StartChannel(Context& context, const JsonObject& json)
{
    DriverInfoBlock info{};
    const int32_t result = context.session.GetInfo(&info);
    if (result != SUCCESS)
        return EndAndFail(context, CallJson(json, "GetKivInfo", result), EXIT_FAILED, "driver",
                          NoDriverMessage(context, result));
    context.session.ColdStart(context.options.line, false);
    return EXIT_DONE;
}

int ParseForIo(Context& context, const std::string& text, int32_t count, const std::vector<uint16_t>* values,
               DriverAddress* address, const JsonObject& json)
{
    const bool block = count != 1;
    const uint32_t tagType = DefaultTagType(text);
    const int32_t result = context.session.Parse(text, block, tagType, count, address);
    if (result != SUCCESS) {
        const std::string rejection = ParseRejection(context.session, text, block, tagType, count);
        return EndAndFail(context, CallJson(json, ParserName(block), result), StatusOf(result),
                          result == REJECTED ? "rejected" : "driver", rejection);
    }
    std::string why;
    if (!RunFitsArea(*address, count, &why))
        why += "; nothing was sent";
    else if (values != nullptr)
        why = WriteValuesProblem(*address, text, context.options.valueTexts, *values);
    else
        why.clear();
    if (why.empty())
        return EXIT_DONE;
    return EndAndFail(context, JsonObject(json).Text("stage", "check"), EXIT_USAGE, "check", why);
}

int OpenLine(Context& context, const JsonObject& json)
{
    const LineOptions& line = context.options.line;
    if (const std::string problem = PortProblemBeforeOpen(line.port); !problem.empty())
        return EndAndFail(context, JsonObject(json).Text("stage", "port"), EXIT_FAILED, "port", problem);
    const int32_t result = context.session.ColdStart(line, true);
    if (result == SUCCESS)
        return EXIT_DONE;
    return EndAndFail(context, CallJson(json, "ColdStart", result), EXIT_FAILED, "port",
                      PortProblemAfterRefusal(line.port));
}

}  // namespace kivhost
