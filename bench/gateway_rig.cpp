#include "bench/gateway_rig.h"

#include "bench/bench_line.h"
#include "bench/exchange_kinds.h"
#include "bench/report.h"
#include "fieldkit/tag_loading.h"
#include "gate/gate_config.h"
#include "gate/gate_log.h"
#include "hosting/session.h"
#include "scan/block_planner.h"
#include "scan/tag_list.h"

namespace kivbench {

namespace {

using namespace std::chrono_literals;

constexpr int STATIONS = 2;
constexpr uint32_t TIMEOUT_UNITS = 30;  // 300 ms: above the slowest reply here
constexpr auto RETRY_DOWN = std::chrono::seconds(5);

// Per station: a run of eight measured words, eight single words after a
// gap of eight, sixteen inputs (B). Words go to holding registers, bits to
// coils, in file order: 32 registers and 32 coils.
std::string TagFileCsv()
{
    std::string csv = "name,address,count\n";
    for (int s = 1; s <= STATIONS; ++s) {
        csv += Format("s%d_run,%02XW0100,8\n", s, static_cast<unsigned>(s));
        for (int i = 0; i < 8; ++i)
            csv += Format("s%d_w%d,%02XW%04X\n", s, i, static_cast<unsigned>(s), static_cast<unsigned>(0x110 + i));
        for (int i = 0; i < 16; ++i)
            csv += Format("s%d_in%d,%02XB%04X\n", s, i, static_cast<unsigned>(s), static_cast<unsigned>(0x200 + i));
    }
    return csv;
}

plcsim::Options SimOptions()
{
    plcsim::Options options;
    options.stations = {1, 2};
    options.baud = GatewayRig::BAUD;
    options.pace = true;
    options.maxRecords = 8;
    return options;
}

}  // namespace

GatewayRig::GatewayRig(kivhost::Session& session, int brokerPort) : session_(session), sim_(SimOptions())
{
    sim_.StartPty();
    for (int s = 1; s <= STATIONS; ++s) {
        sim_.SetFault(s, RequestTime(BAUD));  // a cycle as long as on a line, as in section 8
        for (int i = 0; i < 8; ++i) {
            sim_.SetWord(s, 0x100 + i, static_cast<uint16_t>(s * 1000 + i));
            sim_.SetWord(s, 0x110 + i, static_cast<uint16_t>(s * 1000 + 100 + i));
        }
        for (int i = 0; i < 16; ++i)
            sim_.SetBit(s, 'B', 0x200 + i, (i + s) % 3 == 0);
    }
    line_.port = sim_.SlavePath();
    if (line_.port.size() > 11)
        line_.port = line_.port.substr(5);  // pts/N, looked for under /dev
    line_.portGivenAs = line_.port;
    line_.baud = static_cast<uint16_t>(BAUD);
    line_.timeoutUnits = TIMEOUT_UNITS;
    Require(session_.ColdStart(line_, true) == SUCCESS, "gateway: ColdStart on the simulator failed");

    kivhost::TagFile file = kivhost::ParseTagFile(TagFileCsv(), "bench", kivhost::SessionTagValidator(session_),
                                                  kivgate::GateColumns(), kivgate::CheckValueColumns);
    Require(file.Ok(), "gateway: the tag file: " + (file.errors.empty() ? "" : file.errors[0].Message()));
    kivgate::GateConfig config = kivgate::MapTags(std::move(file.tags), "bench", PREFIX);
    Require(config.errors.empty(), "gateway: the map: " + (config.errors.empty() ? "" : config.errors[0].Message()));
    tags_ = std::move(config.tags);
    for (const kivgate::GateTag& tag : tags_) {
        uint16_t& end = tag.tag.kind == kivhost::ValueKind::Bit ? coils_ : registers_;
        end = std::max<uint16_t>(end, static_cast<uint16_t>(tag.first + tag.tag.count));
    }

    watch_ = std::make_unique<kivgate::GateWatch>(tags_);
    watch_->Watch(writes_);
    kivgate::LineOwnerSettings settings;
    settings.retryDown = RETRY_DOWN;
    settings.metrics = &watch_->Metrics();
    settings.history = &watch_->History();
    const kivgate::Logger quiet([](const std::string&) {});
    owner_ = std::make_unique<kivgate::LineOwner>(session_, ownerReporter_, line_, tags_, settings, snapshots_, writes_,
                                                  quiet);
    kivgate::ModbusSettings modbus;
    modbus.port = 0;
    modbus.metrics = &watch_->Metrics();
    modbus_ = std::make_unique<kivgate::ModbusServer>(modbus, tags_, snapshots_, writes_, [](const std::string&) {});
    std::string why;
    Require(modbus_->Start(&why), "gateway: the Modbus server: " + why);
    if (brokerPort != 0) {
        kivgate::MqttSettings mqtt;
        mqtt.port = brokerPort;
        mqtt.prefix = PREFIX;
        mqtt.metrics = &watch_->Metrics();
        mqtt_ = std::make_unique<kivgate::MqttBridge>(mqtt, tags_, snapshots_, writes_, [](const std::string&) {});
        Require(mqtt_->Start(&why), "gateway: the MQTT bridge: " + why);
    }

    http_ = std::make_unique<kivgate::StatusServer>(watch_->Content(snapshots_, [this] {
        kivgate::GatewayFacts facts;
        facts.line = line_;
        facts.modbus =
            kivgate::GatewayFacts::Modbus{"127.0.0.1:" + std::to_string(modbus_->Port()), modbus_->Clients()};
        return facts;
    }));
    Require(http_->Start("127.0.0.1", 0, &why), "gateway: the status page: " + why);

    kivhost::ScanSettings scan;
    scan.retryDown = RETRY_DOWN;
    std::vector<kivhost::Tag> scanTags = kivgate::ScanTags(tags_);
    kivhost::ReadPlan plan = kivhost::PlanReads(scanTags, kivhost::DEFAULT_MAX_GAP);
    alone_ = std::make_unique<kivhost::ScanEngine>(std::move(scanTags), std::move(plan), scan);
    alonePort_ = std::make_unique<kivhost::PortKeeper>(session_, line_, RETRY_DOWN);
    aloneLine_ = std::make_unique<kivhost::ScanLine>(session_, aloneReporter_, line_.TimeoutMs(), alonePort_.get());
}

GatewayRig::~GatewayRig()
{
    StopScan();
    http_->Stop();
    if (mqtt_)
        mqtt_->Stop();
    modbus_->Stop();
    session_.ColdStart(line_, false);  // lets the port go
    sim_.Stop();
}

size_t GatewayRig::Blocks() const
{
    return alone_->Plan().blocks.size();
}

void GatewayRig::StartScan()
{
    const uint64_t before = snapshots_.Latest()->cycle;
    stop_.Reset();
    scan_ = std::thread([this] { owner_->Run(stop_); });
    // Snapshots come after every block: the cycle after the one under way is whole.
    std::shared_ptr<const kivgate::Snapshot> snapshot = snapshots_.Latest();
    for (const auto until = std::chrono::steady_clock::now() + 5s;
         snapshot->cycle <= before + 1 && std::chrono::steady_clock::now() < until;)
        snapshot = snapshots_.WaitNewer(snapshot->version, 100ms);
    Require(snapshot->cycle > before + 1, "gateway: no whole cycle within 5 s");
    for (const kivgate::TagValue& value : snapshot->tags)
        Require(value.quality == kivhost::Quality::Good, "gateway: a tag is not good after a cycle");
}

void GatewayRig::StopScan()
{
    if (!scan_.joinable())
        return;
    stop_.Request();
    scan_.join();
}

void GatewayRig::GatewayCycles(int cycles)
{
    stop_.Reset();
    owner_->Run(stop_, static_cast<uint64_t>(cycles));
}

void GatewayRig::AloneCycles(int cycles)
{
    for (int i = 0; i < cycles; ++i) {
        kivhost::RunCycle(*alone_, *aloneLine_, stop_);
        Require(alone_->Cycle().failures == 0, "gateway: the scan alone had a failure");
    }
}

}  // namespace kivbench
