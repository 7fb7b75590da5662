// What kivgate puts on the broker and takes from it, as plain text rules:
// the payload of a tag and of a station, the answer to a write, and the
// strict reading of a write's payload. No connection here.
#ifndef KIVGATE_MQTT_PAYLOAD_H
#define KIVGATE_MQTT_PAYLOAD_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "gate/gate_state.h"

namespace kivgate {

// Json: {"value":…, "quality":…, "time":…, "last_good":…}; Value: the value
// alone, for consumers that want a bare number.
enum class PayloadForm { Json, Value };

// A tag's value: a number for one value, an array for a run, null before
// the first good read. count: the tag's words; format: what they mean, its
// values published scaled (ValueNumberText), a plain tag's as its words.
std::string ValueText(const TagValue& value, int32_t count, const ValueFormat& format = {});
// "good", "failed", "down", ...; "none" before the first read.
std::string QualityText(Quality quality);
std::string TagPayload(const TagValue& value, int32_t count, PayloadForm form, const ValueFormat& format = {});

// "PREFIX/stations/03"
std::string StationTopic(std::string_view prefix, int station);
// "03": a station as its topic, the status page and the metrics' label spell it.
std::string StationLabel(int station);
// {"station":3,"state":"up","since":…,"last_reason":…,"failures":{…},"latency_ms":{"p50":…,"p99":…}};
// the latency figures are null for a station that never answered.
std::string StationPayload(const StationDiagnostics& station);

// {"done":true,"message":"…"}
std::string ResultPayload(const WriteResult& result);

// A write's payload for a tag of count elements (words or bits): one number
// for a single value, a JSON array of exactly as many numbers as the run has
// values; whole numbers 0..65535 for plain words, 0 or 1 for bits. A
// formatted tag's values are scaled numbers, decimals too, each encoded into
// its words (EncodeValue: the nearest raw value, or why not). Anything else
// is refused with why: a NUL, a second value, nesting deeper than 32 levels,
// over 64 KB.
struct SetPayload {
    std::vector<uint16_t> values;  // the words or bits, when why is empty
    std::string why;
};
SetPayload ParseSetPayload(std::string_view payload, int32_t count, bool bits, const ValueFormat& format = {});

// Text as a refusal quotes it: in double quotes, at most its first 64
// bytes, each byte that is not printable ASCII shown as '?', and the length
// said when it was cut.
std::string Quoted(std::string_view text);

// Why a topic cannot be published to (empty, wildcards, too long, not
// UTF-8), or "" when it can.
std::string TopicProblem(std::string_view topic);

}  // namespace kivgate

#endif  // KIVGATE_MQTT_PAYLOAD_H
