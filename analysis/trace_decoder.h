// kivhost decode's work on a captured trace, apart from where the trace
// comes from and where the text goes.
#ifndef DAVODEV_KIVHOST_TRACE_DECODER_H
#define DAVODEV_KIVHOST_TRACE_DECODER_H

#include <cstdint>
#include <string>
#include <string_view>

#include "analysis/attempt_view.h"
#include "analysis/line_tally.h"
#include "analysis/trace_reader.h"

namespace kivhost {

// kivhost decode: a captured trace fed in pieces of any size, each attempt
// written as a line (or a JSON object) as soon as its verdict is known, and
// the summary per station at the end.
class TraceDecoder {
public:
    TraceDecoder(bool json, std::string* out) : json_(json), out_(out) {}

    void Feed(std::string_view text);
    // The end of the trace: the last attempts, then the summary.
    void Finish();
    uint64_t Attempts() const { return attempts_; }

private:
    void Drain();

    bool json_;
    std::string* out_;
    TraceReader reader_{TraceOutput::Attempts};
    AttemptNotes notes_;
    LineTally tally_;
    uint64_t attempts_ = 0;
};

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_TRACE_DECODER_H
