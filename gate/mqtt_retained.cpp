#include "gate/mqtt_retained.h"

namespace kivgate {

namespace {

constexpr char ONLINE[] = "online";
constexpr char OFFLINE[] = "offline";

// The parts of a station's diagnostics that make it worth publishing at
// once; the latency moves every cycle and waits for the refresh.
std::string StationKey(StationDiagnostics station)
{
    station.p50Ms.reset();
    station.p99Ms.reset();
    return StationPayload(station);
}

}  // namespace

Quality ServedQuality(const Snapshot& snapshot, size_t tag, SteadyTime now)
{
    return snapshot.QualityAt(tag, now);
}

StationDiagnostics ServedStation(const StationDiagnostics& station, std::optional<WallTime> portLostSince)
{
    StationDiagnostics served = station;
    if (portLostSince && !station.down) {
        served.down = true;
        served.since = *portLostSince;
    }
    return served;
}

std::string AvailabilityTopic(std::string_view prefix, int station)
{
    return StationTopic(prefix, station) + "/availability";
}

std::string QualityTopic(std::string_view topic)
{
    return std::string(topic) + "/quality";
}

MqttRetained::MqttRetained(const std::vector<GateTag>& tags, std::string prefix, PayloadForm form,
                           std::chrono::seconds refresh)
    : tags_(tags), prefix_(std::move(prefix)), form_(form), refresh_(refresh)
{
    for (const GateTag& tag : tags_)
        qualityTopics_.push_back(QualityTopic(tag.topic));
}

void MqttRetained::Offer(const std::string& topic, const std::string& key, const std::function<std::string()>& payload,
                         Clock::time_point now, const Send& send)
{
    const auto found = sent_.find(topic);
    if (found != sent_.end() && found->second.key == key && now - found->second.at < refresh_)
        return;
    if (send(topic, payload()))
        sent_[topic] = Sent{key, now};
}

void MqttRetained::PublishTag(const Snapshot& snapshot, size_t index, Clock::time_point now, const Send& send)
{
    TagValue value = snapshot.tags[index];
    value.quality = ServedQuality(snapshot, index, now);
    // Not asked yet (the first cycle under way): nothing to say of it.
    if (value.quality == Quality::None)
        return;
    const GateTag& tag = tags_[index];
    const std::string values = ValueText(value, tag.tag.count, tag.format);
    const std::string quality = QualityText(value.quality);
    if (form_ == PayloadForm::Json) {
        Offer(
            tag.topic, values + " " + quality, [&] { return TagPayload(value, tag.tag.count, form_, tag.format); }, now,
            send);
        return;
    }
    // A bare number cannot say it is old: only a good one is published, and
    // the quality goes beside it.
    Offer(
        qualityTopics_[index], quality, [&] { return quality; }, now, send);
    if (value.quality == Quality::Good)
        Offer(
            tag.topic, values, [&] { return values; }, now, send);
}

void MqttRetained::Publish(const Snapshot& snapshot, Clock::time_point now, const Send& send)
{
    if (snapshot.cycle == 0 || snapshot.tags.size() != tags_.size())
        return;
    if (!snapshot.portLost)
        portLostSince_.reset();
    else if (!portLostSince_)
        portLostSince_ = snapshot.time;
    for (size_t i = 0; i < tags_.size(); ++i)
        PublishTag(snapshot, i, now, send);
    for (const StationDiagnostics& diagnostics : snapshot.stations) {
        const StationDiagnostics station = ServedStation(diagnostics, portLostSince_);
        stations_.insert(station.station);
        Offer(
            StationTopic(prefix_, station.station), StationKey(station), [&] { return StationPayload(station); }, now,
            send);
        const std::string availability = station.down ? OFFLINE : ONLINE;
        Offer(
            AvailabilityTopic(prefix_, station.station), availability, [&] { return availability; }, now, send);
    }
}

void MqttRetained::Forget()
{
    sent_.clear();
}

void MqttRetained::StationsOffline(const Send& send)
{
    for (int station : stations_)
        send(AvailabilityTopic(prefix_, station), OFFLINE);
}

}  // namespace kivgate
