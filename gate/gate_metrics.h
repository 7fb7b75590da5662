// kivgate's Prometheus metrics: prometheus-cpp's registry and text format.
// The line's owner and the servers count events as they happen; the tags'
// quality and age, which change by the clock as well, are set from the
// latest snapshot when scraped. Every configured station and tag has its
// series from the start, before any exchange, so that a rule on a series
// that never moved still sees it.
#ifndef KIVGATE_GATE_METRICS_H
#define KIVGATE_GATE_METRICS_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gate/gate_state.h"

namespace prometheus {
class Registry;
class Counter;
class Gauge;
class Histogram;
template <typename T>
class Family;
}  // namespace prometheus

namespace kivgate {

class GateMetrics {
public:
    explicit GateMetrics(const std::vector<GateTag>& tags);
    ~GateMetrics();
    GateMetrics(const GateMetrics&) = delete;
    GateMetrics& operator=(const GateMetrics&) = delete;

    // The line's owner. outcome: "good" or the reason an exchange failed.
    void Exchange(int station, const std::string& outcome, double seconds);
    void Cycle(double seconds);

    // The Modbus side: exception 0 for an answer without one.
    void ModbusRequest(uint8_t function, uint8_t exception);
    void ModbusClients(size_t clients);

    // The MQTT side. result: "done", "failed" or "refused".
    void MqttConnected(bool connected);
    void MqttPublished();
    void MqttSet(const std::string& result);

    // Every write settled: "done", "failed" (sent, not confirmed) or "not-sent".
    void Write(const std::string& result);

    // The text for /metrics; the stations' state, the port's and the tags'
    // quality and age taken from snapshot.
    std::string Text(const Snapshot& snapshot, SteadyTime now);

private:
    // The series of value in a family with one label, made at start for
    // every value known then; one not known then is made on first use.
    using Series = std::map<std::string, prometheus::Counter*, std::less<>>;
    prometheus::Counter& Labelled(prometheus::Family<prometheus::Counter>& family, Series& series,
                                  const std::string& label, const std::string& value);

    std::shared_ptr<prometheus::Registry> registry_;
    std::mutex mutex_;  // for the series made on first use, and the registry's collection
    prometheus::Family<prometheus::Counter>* exchanges_ = nullptr;
    prometheus::Counter* cycles_ = nullptr;
    prometheus::Histogram* cycleSeconds_ = nullptr;
    prometheus::Gauge* portUp_ = nullptr;
    prometheus::Family<prometheus::Counter>* modbusRequests_ = nullptr;
    prometheus::Family<prometheus::Counter>* modbusExceptions_ = nullptr;
    prometheus::Gauge* modbusClients_ = nullptr;
    prometheus::Gauge* mqttConnected_ = nullptr;
    prometheus::Counter* mqttPublished_ = nullptr;
    prometheus::Family<prometheus::Counter>* mqttSets_ = nullptr;
    prometheus::Family<prometheus::Counter>* writes_ = nullptr;

    // Every series the events count is found here without a lock: the
    // families' own lookups hash every label, too slow for each request.
    std::map<int, Series> stationExchanges_;
    Series modbusByFunction_, modbusByException_, mqttSetsByResult_, writesByResult_;
    std::map<int, prometheus::Histogram*> stationLatency_;
    std::map<int, prometheus::Gauge*> stationUpGauge_;
    // Per tag, one gauge per quality (1 for the current one) and its age.
    std::vector<std::vector<std::pair<Quality, prometheus::Gauge*>>> tagQualities_;
    std::vector<prometheus::Gauge*> tagAges_;
};

}  // namespace kivgate

#endif  // KIVGATE_GATE_METRICS_H
