// kivbench: what the driver costs against what the line itself costs.
//
// Every figure is taken in this one run, the driver and its baseline side by
// side and interleaved in rounds, so drift and the other work on the machine
// fall on both alike. The table goes to the terminal; the driver's traces go
// to /dev/null (file descriptor 1), and the host's log drops every line, as a
// host with logging off would have it.
//
// This file is the command line; each section of the report is a file of its
// own (section.h).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <set>
#include <string>

#include "bench/callgrind.h"
#include "bench/driver_host.h"
#include "bench/report.h"
#include "bench/section.h"

namespace kivbench {
namespace {

void Usage()
{
    std::string sections;
    for (const Section& section : Sections())
        if (section.only != nullptr)
            sections += (sections.empty() ? "" : ", ") + std::string(section.only);
    std::string sides;
    for (const Side& side : Sides())
        sides += (sides.empty() ? "" : ", ") + std::string(side.name);
    std::printf("usage: kivbench [--quick] [--no-callgrind] [--only LIST]\n"
                "       kivbench --count-calls SIDE N\n"
                "  Measures the driver (libDAVODEV.so beside this program) against the\n"
                "  system calls of the same exchanges without it, and prints the tables.\n"
                "  --quick         a few hundred exchanges and short silent tests (CI)\n"
                "  --no-callgrind  skip counting instructions under valgrind\n"
                "  --only LIST     run only these of %s; e.g. 1,6\n"
                "  --count-calls   set up and warm up one side of a comparison, make N\n"
                "                  exchanges on it and print nothing, for strace -c;\n"
                "                  the sides: %s\n",
                sections.c_str(), sides.c_str());
}

// The section numbers in a list such as "1,6".
std::set<int> SectionNumbers(const char* list)
{
    std::set<int> numbers;
    for (const char* c = list; *c != '\0';) {
        char* end = nullptr;
        const long number = std::strtol(c, &end, 10);
        if (end == c) {
            ++c;
            continue;
        }
        numbers.insert(static_cast<int>(number));
        c = end;
    }
    return numbers;
}

int Run(BenchRun& run, const std::set<int>* only)
{
    PrintHeader(run.quick);
    for (const Section& section : Sections())
        if (only == nullptr || section.only == nullptr || only->count(section.number) != 0)
            section.run(run);
    PrintSummary();
    return 0;
}

int CountCalls(const std::string& name, int exchanges)
{
    for (const Side& side : Sides()) {
        if (name == side.name) {
            side.run(exchanges);
            return 0;
        }
    }
    std::fprintf(stderr, "kivbench: no side named %s\n", name.c_str());
    return 2;
}

}  // namespace
}  // namespace kivbench

int main(int argc, char** argv)
{
    using namespace kivbench;
    BenchRun run;
    std::set<int> only;
    bool onlyGiven = false;
    int callgrindChild = 0;
    std::string countSide;
    int countExchanges = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            run.quick = true;
        } else if (arg == "--no-callgrind") {
            run.callgrind = false;
        } else if (arg == "--only" && i + 1 < argc) {
            only = SectionNumbers(argv[++i]);
            onlyGiven = true;
        } else if (arg == "--count-calls" && i + 2 < argc) {
            countSide = argv[++i];
            countExchanges = std::atoi(argv[++i]);
        } else if (arg == CALLGRIND_CHILD_OPTION && i + 1 < argc) {
            callgrindChild = std::atoi(argv[++i]);
        } else {
            Usage();
            return arg == "--help" || arg == "-h" ? 0 : 2;
        }
    }

    // The driver's traces go where a host with no console sends them; the
    // table keeps the original standard output.
    std::fflush(stdout);
    const int terminal = dup(1);
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (terminal < 0 || devNull < 0 || dup2(devNull, 1) < 0) {
        std::perror("kivbench: redirecting standard output");
        return 1;
    }
    close(devNull);
    SetReportStream(fdopen(terminal, "w"));

    std::string error;
    if (!LoadDriver(&error)) {
        std::fprintf(stderr, "kivbench: cannot load the driver: %s\n", error.c_str());
        return 1;
    }
    try {
        if (callgrindChild > 0)
            return CallgrindChild(callgrindChild);
        if (!countSide.empty())
            return CountCalls(countSide, countExchanges);
        return Run(run, onlyGiven ? &only : nullptr);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kivbench: %s\n", e.what());
        return 1;
    }
}
