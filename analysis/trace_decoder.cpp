#include "trace_decoder.h"

#include <nlohmann/json.hpp>

#include "attempt_formats.h"

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
    if (json_)
        *out_ += JsonText(Json{{"summary", tally_.ToJson(false)}}) + "\n";
    else
        *out_ += std::string(attempts_ > 0 ? "\n" : "") + "Per station:\n" + tally_.Table(false);
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
