// Runs a fuzz target's checks over the files of its seed corpus, without
// libFuzzer: every build (the sanitizer ones too) then replays the seeds,
// and a changed layout or a broken check shows at once, not only when the
// fuzz preset runs.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/small_stack.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    LLVMFuzzerInitialize(&argc, &argv);
    long inputs = 0;
    for (int i = 1; i < argc; ++i) {
        DIR* dir = opendir(argv[i]);
        if (dir == nullptr) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 2;
        }
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            const std::string path = std::string(argv[i]) + "/" + entry->d_name;
            std::ifstream file(path, std::ios::binary);
            const std::vector<uint8_t> data{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
            // Each input on a small stack, whatever the target does.
            if (!RunOnSmallStack([&data] { LLVMFuzzerTestOneInput(data.data(), data.size()); })) {
                std::fprintf(stderr, "cannot start a thread for %s\n", path.c_str());
                return 2;
            }
            ++inputs;
        }
        closedir(dir);
    }
    std::fprintf(stderr, "%ld inputs replayed\n", inputs);
    return inputs > 0 ? 0 : 1;
}
