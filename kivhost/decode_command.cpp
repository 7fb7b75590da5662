// kivhost decode: a host's captured standard output read back into its
// exchanges, each attempt judged.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "analysis/trace_decoder.h"
#include "fieldkit/command_steps.h"
#include "kivhost/kivhost_commands.h"
#include "kivhost/log_files.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace kivhost {

int RunDecode(const DecodeOptions& options)
{
    const bool fromStdin = options.file.empty() || options.file == "-";
    File input(fromStdin ? stdin : std::fopen(options.file.c_str(), "rb"));
    if (!input)
        return Complain(EXIT_FAILED, "cannot read " + options.file + ": " + std::strerror(errno));
#if defined(_WIN32)
    // The trace is read byte for byte: no end at a ^Z, no CR taken away.
    if (fromStdin)
        _setmode(_fileno(stdin), _O_BINARY);
#endif
    const std::string name = fromStdin ? "standard input" : options.file;

    std::string out;
    TraceDecoder decoder(options.json, &out);
    const auto show = [&out]() {
        std::fputs(out.c_str(), stdout);
        out.clear();
    };
    char buffer[65536];
    for (;;) {
        const size_t got = std::fread(buffer, 1, sizeof buffer, input.get());
        if (got > 0) {
            decoder.Feed(std::string_view(buffer, got));
            show();
            if (std::ferror(stdout) != 0)
                return EXIT_FAILED;  // no one reads the rest; the end of the program says why
        }
        if (got < sizeof buffer) {
            if (std::ferror(input.get()))
                return Complain(EXIT_FAILED, "cannot read " + name + ": " + std::strerror(errno));
            break;
        }
    }
    decoder.Finish();
    show();
    std::fflush(stdout);
    if (decoder.Attempts() == 0)
        std::fprintf(stderr,
                     "kivhost: no driver trace in %s (lines \"REVIZ: N bytes will be send\" and the bytes "
                     "under them); give the host's captured standard output\n",
                     name.c_str());
    return EXIT_DONE;
}

}  // namespace kivhost
