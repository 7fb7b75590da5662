// The gateway as kivgate runs it, in the benchmark's process: a paced
// plcsim line of two stations, the driver's session on it, the tags of one
// tag file mapped, the line's owner, the Modbus TCP server on a free
// loopback port, the status page on another and, with a broker, the MQTT
// bridge. Beside it, the same
// tag file's scan as `kivhost scan` runs it, for the cycle's baseline.
#ifndef DAVODEV_KIVBENCH_GATEWAY_RIG_H
#define DAVODEV_KIVBENCH_GATEWAY_RIG_H

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/line_settings.h"
#include "common/stop_token.h"
#include "gate/gate_state.h"
#include "gate/gate_watch.h"
#include "gate/line_owner.h"
#include "gate/modbus_server.h"
#include "gate/mqtt_bridge.h"
#include "scan/port_keeper.h"
#include "scan/scan_engine.h"
#include "scan/scan_line.h"
#include "sim/plc_simulator.h"

namespace kivbench {

class GatewayRig {
public:
    static constexpr int BAUD = 19200;
    static constexpr const char* PREFIX = "kivbench";
    // The word the latency is measured on: station 1's W0110, tag s1_w0.
    static constexpr int CHANGED_STATION = 1;
    static constexpr int CHANGED_WORD = 0x110;
    static constexpr const char* CHANGED_TAG = "s1_w0";

    // brokerPort 0: no MQTT bridge.
    GatewayRig(kivhost::Session& session, int brokerPort);
    ~GatewayRig();
    GatewayRig(const GatewayRig&) = delete;
    GatewayRig& operator=(const GatewayRig&) = delete;

    uint16_t ModbusPort() const { return modbus_->Port(); }
    int HttpPort() const { return http_->Port(); }
    uint16_t Registers() const { return registers_; }
    uint16_t Coils() const { return coils_; }
    size_t Tags() const { return tags_.size(); }
    size_t Blocks() const;
    plcsim::Simulator& Simulator() { return sim_; }
    kivgate::SnapshotStore& Snapshots() { return snapshots_; }

    // The line's owner on a thread of its own, cycle after cycle, until
    // StopScan; the first snapshot is waited for and must be all good.
    void StartScan();
    void StopScan();
    // On the calling thread: the owner's cycles, then the scan alone's.
    void GatewayCycles(int cycles);
    void AloneCycles(int cycles);

private:
    kivhost::Session& session_;
    plcsim::Simulator sim_;
    kivhost::LineOptions line_;
    std::vector<kivgate::GateTag> tags_;
    uint16_t registers_ = 0;
    uint16_t coils_ = 0;
    kivgate::SnapshotStore snapshots_;
    kivgate::WriteQueue writes_;
    kivhost::ExchangeReporter ownerReporter_;
    std::unique_ptr<kivgate::GateWatch> watch_;  // the status page's counts and history
    std::unique_ptr<kivgate::LineOwner> owner_;
    std::unique_ptr<kivgate::ModbusServer> modbus_;
    std::unique_ptr<kivgate::MqttBridge> mqtt_;
    std::unique_ptr<kivgate::StatusServer> http_;
    // The scan alone, as kivhost scan sets it up.
    kivhost::ExchangeReporter aloneReporter_;
    std::unique_ptr<kivhost::ScanEngine> alone_;
    std::unique_ptr<kivhost::PortKeeper> alonePort_;
    std::unique_ptr<kivhost::ScanLine> aloneLine_;

    kivhost::StopToken stop_;
    std::thread scan_;
};

}  // namespace kivbench

#endif  // DAVODEV_KIVBENCH_GATEWAY_RIG_H
