#include "gate/gate_metrics.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include "gate/mqtt_payload.h"

namespace kivgate {
namespace {

using prometheus::Histogram;

// An exchange at 9600 baud takes tens of milliseconds; four attempts that
// time out take seconds.
const Histogram::BucketBoundaries& LatencyBuckets()
{
    static const Histogram::BucketBoundaries BUCKETS = {0.005, 0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5};
    return BUCKETS;
}

const Histogram::BucketBoundaries& CycleBuckets()
{
    static const Histogram::BucketBoundaries BUCKETS = {0.01, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};
    return BUCKETS;
}

// What an exchange can end as: good, each outcome of the line, each doubt.
const std::vector<std::string>& ExchangeOutcomes()
{
    static const std::vector<std::string> OUTCOMES = {"good",    "no-reply", "short",    "nak",       "wrong-station",
                                                      "garbled", "not-sent", "bad-data", "late-reply"};
    return OUTCOMES;
}

const std::vector<Quality>& Qualities()
{
    static const std::vector<Quality> QUALITIES = {Quality::None,     Quality::Good,    Quality::Failed, Quality::Down,
                                                   Quality::Rejected, Quality::BadData, Quality::Stale};
    return QUALITIES;
}

// A family registered with its name and help.
template <typename Builder>
auto& Family(Builder builder, prometheus::Registry& registry, const char* name, const char* help)
{
    return builder.Name(name).Help(help).Register(registry);
}

}  // namespace

GateMetrics::GateMetrics(const std::vector<GateTag>& tags) : registry_(std::make_shared<prometheus::Registry>())
{
    using prometheus::BuildCounter;
    using prometheus::BuildGauge;
    using prometheus::BuildHistogram;
    prometheus::Registry& registry = *registry_;
    exchanges_ = &Family(BuildCounter(), registry, "kivgate_station_exchanges_total",
                         "Exchanges with a station, by outcome: good, or why it failed");
    auto& stationUp =
        Family(BuildGauge(), registry, "kivgate_station_up", "1 while the station answers, 0 while it is down");
    auto& latency = Family(BuildHistogram(), registry, "kivgate_station_latency_seconds",
                           "Time of the station's good exchanges, retries included");
    auto& tagQuality =
        Family(BuildGauge(), registry, "kivgate_tag_quality", "1 for the tag's quality now, 0 for the others");
    auto& tagAge = Family(BuildGauge(), registry, "kivgate_tag_age_seconds",
                          "Seconds since the tag was last read good; -1 before the first good read");
    cycles_ = &Family(BuildCounter(), registry, "kivgate_cycles_total", "Scan cycles done").Add({});
    cycleSeconds_ =
        &Family(BuildHistogram(), registry, "kivgate_cycle_seconds", "Time of a scan cycle").Add({}, CycleBuckets());
    portUp_ = &Family(BuildGauge(), registry, "kivgate_port_up", "1 while the serial port is open").Add({});
    modbusRequests_ =
        &Family(BuildCounter(), registry, "kivgate_modbus_requests_total", "Modbus requests, by function code");
    modbusExceptions_ = &Family(BuildCounter(), registry, "kivgate_modbus_exceptions_total",
                                "Modbus exception answers, by exception code");
    modbusClients_ = &Family(BuildGauge(), registry, "kivgate_modbus_clients", "Modbus clients connected").Add({});
    mqttConnected_ =
        &Family(BuildGauge(), registry, "kivgate_mqtt_connected", "1 while connected to the broker").Add({});
    mqttPublished_ =
        &Family(BuildCounter(), registry, "kivgate_mqtt_published_total", "MQTT messages published").Add({});
    mqttSets_ = &Family(BuildCounter(), registry, "kivgate_mqtt_set_commands_total",
                        "MQTT set commands, by result: done, failed, refused");
    writes_ = &Family(BuildCounter(), registry, "kivgate_writes_total",
                      "Writes settled, by result: done, failed (sent, not confirmed), not-sent");

    for (int station : ConfiguredStations(tags)) {
        const std::string label = StationLabel(station);
        for (const std::string& outcome : ExchangeOutcomes())
            stationExchanges_[station][outcome] = &exchanges_->Add({{"station", label}, {"outcome", outcome}});
        stationUpGauge_[station] = &stationUp.Add({{"station", label}});
        stationLatency_[station] = &latency.Add({{"station", label}}, LatencyBuckets());
    }
    for (const GateTag& gate : tags) {
        std::vector<std::pair<Quality, prometheus::Gauge*>> qualities;
        for (Quality quality : Qualities())
            qualities.emplace_back(quality,
                                   &tagQuality.Add({{"tag", gate.tag.name}, {"quality", QualityText(quality)}}));
        tagQualities_.push_back(std::move(qualities));
        tagAges_.push_back(&tagAge.Add({{"tag", gate.tag.name}}));
    }
    for (const char* result : {"done", "failed", "refused"})
        mqttSetsByResult_[result] = &mqttSets_->Add({{"result", result}});
    for (const char* result : {"done", "failed", "not-sent"})
        writesByResult_[result] = &writes_->Add({{"result", result}});
    // The functions the gateway serves, and the exceptions it answers with.
    for (int function : {1, 2, 3, 4, 5, 6, 15, 16})
        modbusByFunction_[std::to_string(function)] = &modbusRequests_->Add({{"function", std::to_string(function)}});
    for (int exception : {1, 2, 3, 4, 6, 10, 11})
        modbusByException_[std::to_string(exception)] =
            &modbusExceptions_->Add({{"exception", std::to_string(exception)}});
}

GateMetrics::~GateMetrics() = default;

prometheus::Counter& GateMetrics::Labelled(prometheus::Family<prometheus::Counter>& family, Series& series,
                                           const std::string& label, const std::string& value)
{
    if (const auto found = series.find(value); found != series.end())
        return *found->second;
    // Not known at start: the family's own series (Add returns the one with
    // these labels when there is one), under the lock.
    std::lock_guard lock(mutex_);
    return family.Add({{label, value}});
}

void GateMetrics::Exchange(int station, const std::string& outcome, double seconds)
{
    prometheus::Counter* counter = nullptr;
    if (const auto known = stationExchanges_.find(station); known != stationExchanges_.end())
        if (const auto found = known->second.find(outcome); found != known->second.end())
            counter = found->second;
    if (counter != nullptr) {
        counter->Increment();
    } else {
        std::lock_guard lock(mutex_);
        exchanges_->Add({{"station", StationLabel(station)}, {"outcome", outcome}}).Increment();
    }
    const auto found = stationLatency_.find(station);
    if (outcome == "good" && found != stationLatency_.end())
        found->second->Observe(seconds);
}

void GateMetrics::Cycle(double seconds)
{
    cycles_->Increment();
    cycleSeconds_->Observe(seconds);
}

void GateMetrics::ModbusRequest(uint8_t function, uint8_t exception)
{
    Labelled(*modbusRequests_, modbusByFunction_, "function", std::to_string(function)).Increment();
    if (exception != 0)
        Labelled(*modbusExceptions_, modbusByException_, "exception", std::to_string(exception)).Increment();
}

void GateMetrics::ModbusClients(size_t clients)
{
    modbusClients_->Set(static_cast<double>(clients));
}

void GateMetrics::MqttConnected(bool connected)
{
    mqttConnected_->Set(connected ? 1 : 0);
}

void GateMetrics::MqttPublished()
{
    mqttPublished_->Increment();
}

void GateMetrics::MqttSet(const std::string& result)
{
    Labelled(*mqttSets_, mqttSetsByResult_, "result", result).Increment();
}

void GateMetrics::Write(const std::string& result)
{
    Labelled(*writes_, writesByResult_, "result", result).Increment();
}

std::string GateMetrics::Text(const Snapshot& snapshot, SteadyTime now)
{
    portUp_->Set(snapshot.portLost ? 0 : 1);
    for (const StationDiagnostics& station : snapshot.stations)
        if (const auto found = stationUpGauge_.find(station.station); found != stationUpGauge_.end())
            found->second->Set(station.down ? 0 : 1);
    for (size_t tag = 0; tag < tagQualities_.size() && tag < snapshot.tags.size(); ++tag) {
        const Quality quality = snapshot.QualityAt(tag, now);
        for (auto& [each, gauge] : tagQualities_[tag])
            gauge->Set(each == quality ? 1 : 0);
        const TagValue& value = snapshot.tags[tag];
        tagAges_[tag]->Set(value.lastGood ? std::chrono::duration<double>(now - value.readAt).count() : -1);
    }
    std::lock_guard lock(mutex_);
    return prometheus::TextSerializer().Serialize(registry_->Collect());
}

}  // namespace kivgate
