// kivhost info and the driver's half of kivhost --version: what GetKivInfo
// tells a host.
#include <cstdio>

#include "common/tool_text.h"
#include "fieldkit/value_text.h"
#include "kivhost/kivhost_commands.h"

namespace kivhost {

int RunVersion(Context& context)
{
    DriverInfoBlock info{};
    const int32_t result = context.session.GetInfo(&info);
    const std::string line = result == SUCCESS ? BannerVersionLine(info.banner) : std::string();
    context.session.End();
    if (line.empty())
        return Complain(EXIT_FAILED, NoDriverMessage(context, result, " and no version line"));
    std::fprintf(context.output.Results(), "driver  %s (%s)\n", line.c_str(), context.library.c_str());
    std::fflush(context.output.Results());
    return EXIT_DONE;
}

int RunInfo(Context& context)
{
    DriverInfoBlock info{};
    const int32_t result = context.session.GetInfo(&info);
    const std::string banner = BannerUtf8(info);
    const std::string shortName = info.shortName == nullptr ? "" : Cp437ToUtf8(info.shortName);
    context.session.End();
    JsonObject json;
    ResultJson(json.Text("command", "info"), result);
    if (result != SUCCESS)
        return Fail(context, json, EXIT_FAILED, "driver", NoDriverMessage(context, result));

    if (context.options.json) {
        Emit(context, json.Text("library", context.library)
                          .Text("short_name", shortName)
                          .Text("banner", banner)
                          .Number("channel_block_size", info.channelBlockSize)
                          .Values("words", {static_cast<uint16_t>(info.word0), static_cast<uint16_t>(info.word4),
                                            static_cast<uint16_t>(info.word7)}));
        return EXIT_DONE;
    }
    FILE* out = context.output.Results();
    std::fprintf(out, "%s\n", banner.c_str());
    std::fprintf(out, "Driver          %s\n", shortName.c_str());
    std::fprintf(out, "Library         %s\n", context.library.c_str());
    std::fprintf(out, "Channel block   %u bytes per channel\n", static_cast<unsigned>(info.channelBlockSize));
    std::fprintf(out, "Info words      %u, %u, %u (words 0, 4 and 7)\n", static_cast<unsigned>(info.word0),
                 static_cast<unsigned>(info.word4), static_cast<unsigned>(info.word7));
    std::fflush(out);
    return EXIT_DONE;
}

}  // namespace kivhost
