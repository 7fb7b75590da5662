#include "kivhost/help_text.h"

#include <CLI/CLI.hpp>

#include <memory>
#include <sstream>
#include <vector>

#include "fieldkit/help_groups.h"
#include "kivhost/command_table.h"

namespace kivhost {

namespace {

// CLI11's layout, with the line and output options of the program shown in
// every command's help too, as they may be given before or after it.
class HelpFormatter : public CLI::Formatter {
public:
    HelpFormatter()
    {
        column_width(22);
        label("Positionals", "Arguments");
    }

    std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode mode) const override
    {
        std::ostringstream out;
        const CLI::App* parent = app->get_parent();
        if (parent == nullptr) {
            out << app->get_description() << "\n\n";
            out << "Usage: kivhost [options] COMMAND [arguments]\n";
            out << "       kivhost COMMAND --help\n";
            out << make_subcommands(app, mode);
            out << Groups(app, {LINE_GROUP, OUTPUT_GROUP, OTHER_GROUP});
        } else {
            const CommandEntry* entry = FindCommand(app->get_name());
            out << "kivhost " << app->get_name() << ": " << app->get_description() << "\n\n";
            out << "Usage: kivhost [options] " << (entry != nullptr ? entry->usage : app->get_name().c_str()) << "\n";
            out << make_positionals(app);
            out << Groups(app, {"Options"});
            out << Groups(parent, entry != nullptr && entry->usesLine
                                      ? std::vector<std::string>{LINE_GROUP, OUTPUT_GROUP}
                                      : std::vector<std::string>{OUTPUT_GROUP});
            out << "\nkivhost --help shows the rest.\n";
        }
        if (!app->get_footer().empty())
            out << "\n" << app->get_footer() << "\n";
        return out.str();
    }

    std::string Groups(const CLI::App* app, const std::vector<std::string>& groups) const
    {
        std::string out;
        for (const std::string& group : groups) {
            const auto options = app->get_options(
                [&group](const CLI::Option* o) { return o->get_group() == group && o->nonpositional(); });
            if (!options.empty())
                out += make_group(group, false, options);
        }
        return out;
    }

    // "--trace{text}" is how CLI11 spells a flag's value when none is given.
    std::string make_option_name(const CLI::Option* option, bool positional) const override
    {
        std::string name = CLI::Formatter::make_option_name(option, positional);
        const size_t brace = name.find('{');
        if (brace != std::string::npos)
            name.erase(brace, name.find('}', brace) + 1 - brace);
        return name;
    }

    std::string make_option_opts(const CLI::Option* option) const override
    {
        const std::string& text = option->get_option_text();
        if (!text.empty() && text.front() == '[')
            return text;  // an optional value: --trace[=MODE]
        return CLI::Formatter::make_option_opts(option);
    }
};

}  // namespace

void DescribeProgram(CLI::App& app)
{
    app.description("kivhost: talks to Unitronix PLCs through the DAVODEV driver, calling it as a host\n"
                    "program does: GetKivInfo, ColdStart, the address parsers, the reads and writes,\n"
                    "EndKiv.");
    app.formatter(std::make_shared<HelpFormatter>());
    app.set_help_flag("-h,--help", "this help; kivhost COMMAND --help for a command's own");
    app.get_help_ptr()->group(OTHER_GROUP);
    app.footer("Addresses: SSOnnnn[b] - station SS (hex, 01 to 20), operand O (W word, B bit,\n"
               "  A or E byte and bit, E read-only), four hex digits, then an optional bit\n"
               "  digit (0-F) for a bit of a W word: 01W0010, 01W00105, 02A01F7 (byte 1F,\n"
               "  bit 7), 01B0100. At most 8 characters.\n"
               "Numbers (values, counts, times): decimal (4660) or hex with 0x (0x1234); values\n"
               "  are 0 to 65535 for words, 0 or 1 for bits.\n"
               "Everything is checked before the port is opened, the addresses by the\n"
               "  driver's parser too.\n"
               "Exit status: 0 done; 1 rejected by the driver (address, operand); 2 line, port\n"
               "  or PLC failure, or the driver cannot be loaded; 64 usage error; 130 ended at\n"
               "  once by a second Ctrl-C (poll, scan, stations).");
}

}  // namespace kivhost
