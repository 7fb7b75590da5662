// Runs a fuzz target's checks over the files of its seed corpus, without
// libFuzzer: every build (the sanitizer ones too) then replays the seeds,
// and a changed layout or a broken check shows at once, not only when the
// fuzz preset runs.
#include <dirent.h>
#include <pthread.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// Each input runs on a thread with a small stack, as a service's threads may
// have: a parse that recurses with its input's depth fails here, not in the field.
constexpr size_t INPUT_STACK = 1024 * 1024;

extern "C" void* RunOne(void* input)
{
    const auto* data = static_cast<const std::vector<uint8_t>*>(input);
    LLVMFuzzerTestOneInput(data->data(), data->size());  // a failed check aborts
    return nullptr;
}

bool RunOnSmallStack(const std::vector<uint8_t>& data)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, INPUT_STACK);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, RunOne, const_cast<std::vector<uint8_t>*>(&data)) == 0;
    pthread_attr_destroy(&attributes);
    if (started)
        pthread_join(thread, nullptr);
    return started;
}

}  // namespace

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
            if (!RunOnSmallStack(data)) {
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
