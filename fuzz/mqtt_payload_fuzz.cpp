// kivgate's reading of an MQTT set payload, over any bytes, on a thread
// with a 1 MB stack as a small-stack host would give it: nesting that any
// part walked recursively would crash here. Beyond "no crash": a payload
// taken is exactly the tag's count of values, each in its range; a refused
// one takes nothing and says why in one printable line of bounded length.
#include <pthread.h>

#include <cstdint>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "gate/mqtt_payload.h"

namespace {

struct Job {
    std::string_view payload;
    int32_t count = 1;
    bool bits = false;
    kivgate::SetPayload got;
};

void* Parse(void* raw)
{
    auto* job = static_cast<Job*>(raw);
    job->got = kivgate::ParseSetPayload(job->payload, job->count, job->bits);
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

// Input: a byte whose low 2 bits plus 1 are the tag's count and whose bit 2
// makes it a bit tag, then the payload.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    Job job;
    job.count = (data[0] & 3) + 1;
    job.bits = (data[0] & 4) != 0;
    job.payload = std::string_view(reinterpret_cast<const char*>(data + 1), size - 1);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 1024 * 1024);
    pthread_t thread;
    FUZZ_CHECK(pthread_create(&thread, &attributes, &Parse, &job) == 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);

    if (job.got.why.empty()) {
        FUZZ_CHECK(job.got.values.size() == static_cast<size_t>(job.count));
        for (const uint16_t value : job.got.values)
            FUZZ_CHECK(!job.bits || value <= 1);
        return 0;
    }
    FUZZ_CHECK(job.got.values.empty());
    // A reason and a quote of at most 64 bytes and a length.
    FUZZ_CHECK(job.got.why.size() <= 200);
    for (const char c : job.got.why)
        FUZZ_CHECK(c >= 0x20 && c < 0x7f);
    return 0;
}
