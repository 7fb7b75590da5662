#include "kivhost/kivhost_options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <utility>

#include "common/empty_values.h"
#include "fieldkit/option_checks.h"
#include "fieldkit/program_options.h"
#include "kivhost/command_table.h"
#include "kivhost/help_text.h"

namespace kivhost {
namespace {

// CLI11's messages, in this program's words where it has its own.
std::string ParseErrorText(const CLI::ParseError& error)
{
    const std::string what = error.what();
    if (what.find("disallowed flag override") != std::string::npos)
        return "--" + what.substr(0, what.find(' ')) + " takes no value";
    if (what.find("required") != std::string::npos && what.find("missing") != std::string::npos &&
        what.starts_with("-"))
        return what.substr(0, what.find(':')) + " needs a value; kivhost --help shows it";
    return what;
}

bool LooksLikeOption(const std::string& text)
{
    return text.size() >= 2 && text[0] == '-';
}

// What is left over once CLI11 has taken what it knows: options it does not
// know, or does not know where they were given, and arguments too many.
using Subcommands = std::vector<std::pair<const CommandEntry*, CLI::App*>>;

std::string LeftOver(const std::vector<std::string>& left, const Subcommands& subs, const CommandEntry* entry,
                     const CLI::App* sub)
{
    for (const std::string& item : left) {
        if (!LooksLikeOption(item))
            continue;
        const std::string name = item.substr(0, item.find('='));
        if (sub != nullptr && sub->get_option_no_throw(name) != nullptr)
            return name + " goes after the command: kivhost [options] " + entry->usage;
        for (const auto& [other, owner] : subs) {
            if (owner->get_option_no_throw(name) == nullptr)
                continue;
            if (entry == nullptr)
                return name + " belongs to a command, after it: e.g. kivhost [options] " + other->usage;
            return name + " does not apply to " + entry->name + "; kivhost " + entry->name +
                   " --help shows its options";
        }
        return "unknown option " + name + "; kivhost --help lists the options";
    }
    if (left.empty())
        return {};
    if (entry == nullptr)
        return "unknown command \"" + left.front() + "\"; the commands are " + CommandNames();
    const bool takesArguments = !sub->get_options([](const CLI::Option* o) { return o->get_positional(); }).empty();
    return std::string(entry->name) + (takesArguments ? " takes no more arguments" : " takes no arguments") +
           ", got \"" + left.front() + "\"; kivhost " + entry->name + " --help shows its usage";
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args)
{
    auto fail = [](std::string message) { return CommandLine{std::nullopt, std::move(message)}; };

    Given given;
    CLI::App app("", "kivhost");
    DescribeProgram(app);
    app.allow_extras();
    // A path such as /tmp/plc1 is an argument on Windows too, not an option
    // written /name (the commands, added below, take this from the app).
    app.allow_windows_style_options(false);
    DeclareLineOptions(app, given);
    DeclareOutputOptions(app, given);

    Subcommands subs;
    for (const CommandEntry& entry : Commands()) {
        CLI::App* sub = app.add_subcommand(entry.name, entry.summary);
        subs.emplace_back(&entry, sub);
        sub->group("Commands");
        sub->fallthrough();
        sub->allow_extras();
        sub->set_help_flag("-h,--help", "this help");
        sub->footer(entry.footer);
        entry.declare(*sub, given);
    }
    RefuseEmptyValues(app);

    // CLI11 takes a flag's "=" with nothing after it for the flag alone, so
    // the one flag with a value is looked for here; every option's value
    // is checked by RefuseEmptyValues.
    if (std::find(args.begin(), args.end(), "--trace=") != args.end())
        return fail(Bad("--trace", "", "use --trace, --trace=hex or --trace=raw"));
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        Options options;
        options.command = Command::Help;
        options.helpText = app.help();
        return {options, {}};
    } catch (const CLI::ParseError& error) {
        return fail(ParseErrorText(error));
    }

    const CLI::App* sub = nullptr;
    const CommandEntry* entry = nullptr;
    for (const auto& [candidate, candidateApp] : subs) {
        if (candidateApp->parsed()) {
            sub = candidateApp;
            entry = candidate;
            break;
        }
    }
    std::vector<std::string> left = app.remaining();
    if (sub != nullptr) {
        const std::vector<std::string> more = sub->remaining();
        left.insert(left.end(), more.begin(), more.end());
    }
    if (given.version && entry == nullptr && left.empty()) {
        Options options;
        options.command = Command::Version;  // still takes --lib
        if (std::string error = TakeOutput(given, app, options); !error.empty())
            return fail(error);
        return {options, {}};
    }
    if (std::string error = LeftOver(left, subs, entry, sub); !error.empty())
        return fail(error);
    if (entry == nullptr)
        return fail("no command given; try kivhost demo, or kivhost --help for the commands");
    if (given.version)
        return fail("--version takes no command; try kivhost --version");

    Options options;
    options.command = entry->command;
    if (std::string error = entry->take(given, *sub, options); !error.empty())
        return fail(error);
    if (std::string error = TakeLine(given, app, options); !error.empty())
        return fail(error);
    if (std::string error = TakeOutput(given, app, options); !error.empty())
        return fail(error);
    // The diagnostics' own copies of what the shared options say.
    options.decode.json = options.json;
    options.monitor.line.dataBits = options.line.dataBits;
    options.monitor.line.parity = options.line.parity;
    options.monitor.line.stopBits = options.line.stopBits;
    if (std::string error = FileClashes(options); !error.empty())
        return fail(error);
    if (entry->command == Command::Decode && options.line.portGiven)
        return fail("decode reads a captured trace, not a port; leave out --port (monitor listens on one)");
    if (entry->command == Command::Demo)
        if (std::string error = DemoPorts(options); !error.empty())
            return fail(error);
    // The plan of a scan is made without the line.
    const bool needsPort = entry->usesLine && !(entry->command == Command::Scan && options.scan.plan);
    if (needsPort && !options.line.portGiven) {
#if defined(_WIN32)
        options.line.port = "COM1";  // the first port, as on most Windows hosts
        options.line.portGivenAs = "COM1";
#else
        return fail("no port given: add --port NAME, e.g. --port ttyUSB0 (/dev/ttyUSB0) or --port COM1 (/dev/ttyS0); "
                    "or try kivhost demo");
#endif
    }
    return {options, {}};
}

}  // namespace kivhost
