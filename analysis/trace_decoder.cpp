#include "analysis/trace_decoder.h"

#include <nlohmann/json.hpp>

#include "analysis/attempt_formats.h"

namespace kivhost {

void TraceDecoder::Feed(std::string_view text)
{
    reader_.Feed(text);
    Drain();
}

void TraceDecoder::Finish()
{
    reader_.Finish();
    Drain();
    tally_.Finish();
    const uint64_t cut = reader_.CutLines();
    if (json_) {
        Json last{{"summary", tally_.ToJson(false)}};
        if (cut > 0)
            last["cut_lines"] = cut;
        *out_ += JsonText(last) + "\n";
        return;
    }
    *out_ += std::string(attempts_ > 0 ? "\n" : "") + "Per station:\n" + tally_.Table(false);
    if (cut > 0)
        *out_ += std::to_string(cut) + (cut == 1 ? " line" : " lines") + " longer than " +
                 std::to_string(TRACE_LONGEST_LINE) + " characters passed over: not the driver's\n";
}

void TraceDecoder::Drain()
{
    TraceAttempt attempt;
    while (reader_.NextAttempt(&attempt)) {
        AttemptView view = ViewOf(attempt);
        notes_.Judge(&view);
        tally_.Add(view);
        *out_ += (json_ ? JsonText(AttemptJson(view)) : AttemptLine(view)) + "\n";
        ++attempts_;
    }
}

}  // namespace kivhost
