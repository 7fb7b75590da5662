// kivhost demo: the driver at work against simulated stations, one host
// call after the other, each explained. The stations answer on a
// pseudo-terminal of their own, or on --sim-port, a port joined to the
// driver's by a null-modem cable (Windows has no pseudo-terminals).
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/trace_reader.h"
#include "common/line_settings.h"
#include "common/time_stamp.h"
#include "common/tool_text.h"
#include "fieldkit/exchange_text.h"
#include "fieldkit/value_text.h"
#include "hosting/port_name.h"
#include "kivhost/kivhost_commands.h"
#include "sim/plc_simulator.h"

#if !defined(_WIN32)
#include "serial/serial_posix_name.h"
#endif

namespace kivhost {
namespace {

constexpr uint32_t DEMO_TIMEOUT_UNITS = 10;  // 100 ms: the silent station's four attempts stay short

// The attempts of the last call, and those of them that heard nothing.
struct AttemptCount {
    size_t sent = 0;
    size_t silent = 0;
};

AttemptCount CountAttempts(const std::vector<TraceExchange>& exchanges)
{
    AttemptCount count;
    for (const TraceExchange& exchange : exchanges)
        for (const TraceAttempt& attempt : exchange.attempts) {
            ++count.sent;
            count.silent += static_cast<size_t>(std::count(attempt.receptions.begin(), attempt.receptions.end(), 0u));
        }
    return count;
}

// The device the stations are served on for --sim-port, named as the
// driver names its port.
std::string SimDevice(const std::string& name)
{
#if defined(_WIN32)
    return name;
#else
    char path[4096];
    return kiv::PosixDevicePath(name.c_str(), path, sizeof path) ? std::string(path) : name;
#endif
}

// The first frame the driver sent in the last call, its closing CR named.
std::string SentFrame(const std::vector<TraceExchange>& exchanges)
{
    if (exchanges.empty() || exchanges.front().attempts.empty())
        return "";
    std::string frame = exchanges.front().attempts.front().requestBytes;
    if (frame.ends_with(FRAME_END))
        frame.replace(frame.size() - 1, 1, " + CR");
    return frame;
}

class Steps {
public:
    explicit Steps(Context& context) : context_(context) {}

    // The explanation comes before the call, so that --trace shows the
    // driver's lines under it.
    void Begin(const std::string& command, const std::string& explanation)
    {
        ++number_;
        current_ = JsonObject();
        current_.Number("step", number_).Text("command", command).Text("explanation", explanation);
        if (!context_.options.json)
            Print(std::to_string(number_) + ". " + command + ": " + explanation);
    }

    // The outcome of the step; expected is the result the step is meant to show.
    // Exchanges show their time: the time of the last call of the step.
    void End(int32_t result, int32_t expected, const std::string& outcome, JsonObject extra = {}, bool exchange = false)
    {
        const double ms = context_.session.LastMs();
        ResultJson(current_, result);
        if (exchange)
            current_.Ms("ms", ms);
        if (!extra.Empty())
            current_.Object("detail", extra);
        steps_.push_back(current_);
        const std::string time = exchange ? " in " + Ms(ms) : "";
        if (!context_.options.json)
            Print("   -> " + ResultName(result) + time + (outcome.empty() ? "" : ": " + outcome));
        if (result != expected && failure_.empty())
            failure_ = "step " + std::to_string(number_) + " returned " + ResultName(result) + " where " +
                       ResultName(expected) + " was expected";
    }

    void Print(const std::string& line)
    {
        std::fprintf(context_.output.Results(), "%s\n", line.c_str());
        std::fflush(context_.output.Results());
    }

    std::string Json(const std::string& port) const
    {
        return JsonObject()
            .Text("command", "demo")
            .Text("port", port)
            .Number("result", failure_.empty() ? 0 : RECOVERY_ERROR)
            .Objects("steps", steps_)
            .Text("time", UtcTimestamp())
            .Done();
    }

    const std::string& Failure() const { return failure_; }

private:
    Context& context_;
    int number_ = 0;
    JsonObject current_;
    std::vector<JsonObject> steps_;
    std::string failure_;
};

}  // namespace

int RunDemo(Context& context)
{
    const Options& options = context.options;
    const bool ownPort = !options.simPort.empty();
    plcsim::Options simOptions;
    simOptions.stations = {1, 2};
    // On a real pair of ports both ends keep the line's rate and format.
    simOptions.baud = options.line.baud;
    simOptions.format.dataBits = options.line.dataBits;
    simOptions.format.parity = PARITY_LETTERS[options.line.parity];
    simOptions.format.stopBits = options.line.stopBits == 0 ? 1 : options.line.stopBits == 1 ? 1.5 : 2;
    plcsim::Simulator sim(simOptions);
    sim.SetWord(1, 0x10, 0x1234);
    sim.SetWord(1, 0x11, 0xABCD);
    sim.SetWord(1, 0x12, 0x0007);
    sim.SetWord(1, 0x13, 0x00FF);
    sim.SetWord(1, 0x20, 0x0000);
    sim.SetBit(2, 'A', 0x1F7, true);
    try {
        if (ownPort)
            sim.StartDevice(SimDevice(options.simPort));
        else
            sim.StartPty();
    } catch (const std::exception& error) {
        if (ownPort)
            return Complain(EXIT_FAILED, "cannot serve the simulated stations on --sim-port " + options.simPort + ": " +
                                             error.what());
        return Complain(EXIT_FAILED, std::string("cannot start the simulated stations on a pseudo-terminal: ") +
                                         error.what() + "; is /dev/ptmx usable here?");
    }

    LineOptions line = options.line;
    if (!ownPort) {
        std::string portError;
        line.port = DriverPortName(sim.SlavePath(), &portError);
        if (line.port.empty())
            return Complain(EXIT_FAILED, portError);
    }
    if (!options.line.timeoutGiven)
        line.timeoutUnits = DEMO_TIMEOUT_UNITS;
    const unsigned timeoutMs = static_cast<unsigned>(line.timeoutUnits) * 10;

    Session& session = context.session;
    Steps steps(context);
    if (!options.json)
        steps.Print("kivhost demo: the DAVODEV driver and simulated PLC stations 1 and 2 " +
                    (ownPort ? "on " + options.simPort + ", the driver on " + line.port + " joined to it"
                             : "on the pseudo-terminal " + sim.SlavePath()) +
                    "; station 3 is not on the line.\n");

    steps.Begin("GetKivInfo", "the host asks the driver who it is; its banner is code page 437, shown here as UTF-8");
    DriverInfoBlock info{};
    int32_t result = session.GetInfo(&info);
    if (!options.json)
        steps.Print(BannerUtf8(info));
    steps.End(result, SUCCESS,
              std::string(info.shortName != nullptr ? info.shortName : "") + ", " +
                  std::to_string(info.channelBlockSize) + "-byte channel block",
              JsonObject().Text("banner", BannerUtf8(info)));

    steps.Begin("ColdStart", "open " + line.port + " at " + std::to_string(line.baud) + " baud, " + line.FormatText() +
                                 ", with a " + std::to_string(timeoutMs) + " ms reply time-out");
    result = session.ColdStart(line, true);
    steps.End(result, SUCCESS, result == SUCCESS ? "the channel is open" : "the port did not open");
    if (result != SUCCESS) {
        session.End();
        return Complain(EXIT_FAILED, "ColdStart on " + line.port + " failed; the demo cannot go on");
    }

    // A host has every tag parsed before it polls; five tags here.
    struct Tag {
        const char* text;
        bool block;
        uint32_t type;
        int32_t count;
        DriverAddress address{};
    };
    Tag words{"01W0010", true, TAG_TYPE_WORD, 4};
    Tag bit{"02A01F7", false, TAG_TYPE_BIT, 1};
    Tag word{"01W0020", false, TAG_TYPE_WORD, 1};
    Tag wordBit{"01W00200", false, TAG_TYPE_BIT, 1};
    Tag silent{"03W0000", false, TAG_TYPE_WORD, 1};
    steps.Begin("SingleAddressParser",
                "the host's tag text \"01W0010\" (a word of station 1) becomes the driver address it hands back later");
    DriverAddress shown{};
    result = session.Parse("01W0010", false, TAG_TYPE_WORD, 1, &shown);
    char parsed[160];
    std::snprintf(parsed, sizeof parsed,
                  "station %d, operand %c, number 0x%04X, bit %d (none), width %d; the demo's other tags go "
                  "through the parsers too",
                  static_cast<int>(shown.station), static_cast<char>(shown.operand),
                  static_cast<unsigned>(shown.number), static_cast<int>(shown.bit), static_cast<int>(shown.width));
    steps.End(result, SUCCESS, parsed, JsonObject().Object("address", AddressJson(shown)));
    for (Tag* tag : {&words, &bit, &word, &wordBit, &silent}) {
        if (session.Parse(tag->text, tag->block, tag->type, tag->count, &tag->address) != SUCCESS) {
            session.End();
            return Complain(EXIT_FAILED, std::string("the driver rejected the demo's tag ") + tag->text);
        }
    }

    std::vector<uint16_t> values;
    steps.Begin("BlockRead", "four words of station 1 from 01W0010, in one request frame and one reply");
    result = session.Read(words.address, words.count, &values);
    steps.End(result, SUCCESS, ValueList(words.address, values) + ", frame " + SentFrame(session.LastExchanges()),
              JsonObject().Values("values", values).Text("frame", SentFrame(session.LastExchanges())), true);

    steps.Begin("SingleRead", "one bit of station 2: 02A01F7 is byte 1F, bit 7 of operand A");
    result = session.Read(bit.address, 1, &values);
    steps.End(result, SUCCESS, ValueList(bit.address, values) + ", frame " + SentFrame(session.LastExchanges()),
              JsonObject().Values("values", values).Text("frame", SentFrame(session.LastExchanges())), true);

    steps.Begin("SingleWrite", "0x5A5A into 01W0020, then a SingleRead of it back");
    result = session.Write(word.address, {0x5A5A});
    const std::string writeFrame = SentFrame(session.LastExchanges());
    const int32_t back = result == SUCCESS ? session.Read(word.address, 1, &values) : result;
    steps.End(back, SUCCESS, "frame " + writeFrame + ", read back " + ValueList(word.address, values),
              JsonObject().Text("frame", writeFrame).Values("read_back", values), true);

    steps.Begin(
        "SingleWrite",
        "set, then reset, bit 0 of that word: tag 01W00200 has a bit digit, so the driver sends set/reset frames");
    std::string outcome;
    std::vector<std::string> frames;
    result = SUCCESS;
    for (uint16_t state : {uint16_t{1}, uint16_t{0}}) {
        if (result == SUCCESS)
            result = session.Write(wordBit.address, {state});
        const std::string frame = SentFrame(session.LastExchanges());
        if (result == SUCCESS)
            result = session.Read(word.address, 1, &values);
        if (!outcome.empty())
            outcome += "; ";
        outcome += (state ? "set: frame " : "reset: frame ") + frame + ", word " + ValueList(word.address, values);
        frames.push_back(frame);
    }
    steps.End(result, SUCCESS, outcome, JsonObject().Texts("frames", frames), true);

    steps.Begin("SingleRead",
                "station 3 does not answer: the driver tries the exchange four times, each ending after the " +
                    std::to_string(timeoutMs) + " ms time-out, then reports a line failure");
    result = session.Read(silent.address, 1, &values);
    const AttemptCount count = CountAttempts(session.LastExchanges());
    const size_t attempts = count.sent;
    const size_t empty = count.silent;
    steps.End(result, RECOVERY_ERROR,
              std::to_string(attempts) + " attempts, " + std::to_string(empty) +
                  " with no reply; the host would mark the tag failed",
              JsonObject()
                  .Number("attempts", static_cast<long long>(attempts))
                  .Number("silent", static_cast<long long>(empty)),
              true);

    steps.Begin("EndKiv", "the host is done: the port is closed and the driver ends; further calls do nothing");
    result = session.End();
    steps.End(result, SUCCESS, "");

    sim.Stop();
    if (options.json)
        steps.Print(steps.Json(line.port));
    if (!steps.Failure().empty())
        return Complain(EXIT_FAILED, "the demo went wrong: " + steps.Failure() +
                                         (ownPort ? "; are " + line.port + " and " + options.simPort +
                                                        " joined by a null-modem cable? kivhost demo --trace shows "
                                                        "the line"
                                                  : "; run kivhost demo --trace to see the line"));
    return EXIT_DONE;
}

}  // namespace kivhost
