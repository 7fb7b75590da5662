// The bash completions of kivhost and plcsim in a plain bash (no
// bash-completion package): each is sourced, handed the words as bash would,
// and what it offers is compared whole.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/case_name.h"

namespace {

struct CompletionCase {
    const char* name;
    const char* program;  // kivhost or plcsim
    std::string words;    // split at spaces; {dir} is a folder of the test's own
    std::string offered;  // COMPREPLY, a line each
};

void PrintTo(const CompletionCase& c, std::ostream* os)
{
    *os << c.name;
}

// The folder: a file, a tag file, a folder and a link, as a port link
// plcsim makes would be.
const CompletionCase COMPLETION_CASES[] = {
    {"kivhost commands after a port", "kivhost", "kivhost --port x re", "read\n"},
    {"kivhost option values", "kivhost", "kivhost --parity o", "odd\n"},
    {"kivhost a value after =", "kivhost", "kivhost --trace = r", "raw\n"},
    {"kivhost a command's options", "kivhost", "kivhost poll 01W0010 --cy", "--cycles\n"},
    {"kivhost port paths in a folder", "kivhost", "kivhost --port {dir}/",
     "{dir}/logs/\n{dir}/plc1\n{dir}/pumps.csv\n"},
    {"kivhost a port's folder goes on inside it", "kivhost", "kivhost read 01W0010 --port {dir}/l", "{dir}/logs/\n"},
    {"kivhost a port's link", "kivhost", "kivhost --port {dir}/pl", "{dir}/plc1\n"},
    {"kivhost no device under /dev that is not serial", "kivhost", "kivhost --port /dev/nul", ""},
    {"kivhost the tag file of scan", "kivhost", "kivhost scan {dir}/p", "{dir}/plc1\n{dir}/pumps.csv\n"},
    {"kivhost a folder for a log", "kivhost", "kivhost scan t.csv --csv {dir}/lo", "{dir}/logs/\n"},
    {"kivhost a file after =", "kivhost", "kivhost poll --tags = {dir}/pu", "{dir}/pumps.csv\n"},
    {"plcsim options", "plcsim", "plcsim --st", "--stop-bits\n--stations\n"},
    {"plcsim option values", "plcsim", "plcsim --baud = 96", "9600\n"},
    {"plcsim link paths in a folder", "plcsim", "plcsim --link {dir}/", "{dir}/logs/\n{dir}/plc1\n{dir}/pumps.csv\n"},
    {"plcsim a device's link", "plcsim", "plcsim --device {dir}/pl", "{dir}/plc1\n"},
    {"plcsim a device's folder in one word", "plcsim", "plcsim --device={dir}/l", "--device={dir}/logs/\n"},
    {"plcsim a fault where : breaks words", "plcsim", "plcsim --fault 2 : n", "nak\nnoise\n"},
    {"plcsim a fault in one word", "plcsim", "plcsim --fault 2:tr", "2:truncate\n"},
};

class ShellCompletion : public ::testing::TestWithParam<CompletionCase> {
protected:
    void SetUp() override
    {
        dir_ = "/tmp/kiv-completion-" + std::to_string(getpid());
        std::filesystem::create_directories(dir_ + "/logs");
        std::FILE* file = std::fopen((dir_ + "/pumps.csv").c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fclose(file);
        std::error_code ignored;
        std::filesystem::create_symlink("/dev/null", dir_ + "/plc1", ignored);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string WithDir(std::string text) const
    {
        for (size_t at; (at = text.find("{dir}")) != std::string::npos;)
            text.replace(at, 5, dir_);
        return text;
    }

    std::string dir_;
};

// What the completion function offers for the words, with anything it says
// on standard error (a function it lacks, say) among it.
std::string Offered(const std::string& script, const std::string& function, const std::string& words)
{
    std::string array;
    std::istringstream split(words);
    for (std::string word; split >> word;)
        array += " '" + word + "'";
    const std::string run = "source '" + script + "'\nCOMP_WORDS=(" + array +
                            ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n" + function +
                            "\nfor w in \"${COMPREPLY[@]}\"; do printf '%s\\n' \"$w\"; done\n";
    std::string out;
    if (std::FILE* pipe = popen(("bash --norc --noprofile 2>&1 <<'EOF'\n" + run + "EOF\n").c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        pclose(pipe);
    }
    return out;
}

TEST_P(ShellCompletion, OffersWhatTheWordsCallFor)
{
    const CompletionCase& c = GetParam();
    const bool kivhost = std::string(c.program) == "kivhost";
    const std::string script =
        std::string(KIV_SOURCE_DIR) + (kivhost ? "/kivhost/completion/kivhost.bash" : "/sim/completion/plcsim");
    // File names come in the folder's order; bash sorts them for the eye.
    auto sorted = [](const std::string& text) {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    const std::string offered = Offered(script, kivhost ? "_kivhost" : "_plcsim", WithDir(c.words));
    EXPECT_EQ(sorted(offered), sorted(WithDir(c.offered))) << offered;
}

INSTANTIATE_TEST_SUITE_P(Words, ShellCompletion, ::testing::ValuesIn(COMPLETION_CASES), CaseName());

// kivhost's own options are checked against its help in the process tests;
// plcsim's here: every option its help lists is offered.
TEST(ShellCompletionDocs, PlcsimOffersEveryOptionOfItsHelp)
{
    std::string help;
    if (std::FILE* pipe = popen(PLCSIM_PATH " --help", "r")) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            help.append(buffer, n);
        pclose(pipe);
    }
    const std::string offered = Offered(KIV_SOURCE_DIR "/sim/completion/plcsim", "_plcsim", "plcsim --");
    std::istringstream lines(help);
    int options = 0;
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("--");
        if (at == std::string::npos || line.find_first_not_of(" -hv,") < at)
            continue;
        const std::string option = line.substr(at, line.find(' ', at) - at);
        ++options;
        EXPECT_NE(offered.find(option + "\n"), std::string::npos) << option << " is not offered";
    }
    EXPECT_EQ(options, 18) << help;
}

}  // namespace
