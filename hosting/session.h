// kivhost as the driver's host: a channel and the calls a host makes on
// it, each timed, its traces and log lines kept and read back into
// exchanges; and the values of a run as the driver lays them out.
#ifndef DAVODEV_KIVHOST_SESSION_H
#define DAVODEV_KIVHOST_SESSION_H

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/trace_reader.h"
#include "common/line_settings.h"
#include "host_api/davodev.h"

namespace kivhost {

class DriverOutput;

struct LogLine {
    int32_t level;
    std::string text;
};

// One channel and the calls a host makes on it, in the host's order.
class Session {
public:
    Session(KivMainFn entry, DriverOutput& output);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    int32_t GetInfo(DriverInfoBlock* info);  // also sizes the channel block
    int32_t ColdStart(const LineOptions& line, bool enable);
    int32_t Parse(const std::string& text, bool block, uint32_t tagType, int32_t count, DriverAddress* address);
    // The same call as a question about the address, not a step of the
    // session: its log lines are neither kept nor shown, the last call's stay.
    int32_t ProbeParse(const std::string& text, bool block, uint32_t tagType, int32_t count, DriverAddress* address);
    // Elements one per value or bit, in run order. count 1 goes through
    // SingleRead / SingleWrite, a run through BlockRead / BlockWrite.
    int32_t Read(const DriverAddress& address, int32_t count, std::vector<uint16_t>* elements);
    int32_t Write(const DriverAddress& address, const std::vector<uint16_t>& elements);
    int32_t End();
    // The channel's port opened again by the driver (ReOpenCom), as after
    // its adapter was pulled and plugged in again.
    int32_t ReOpenPort();

    // About the last call.
    double LastMs() const { return lastMs_; }
    const std::string& LastTrace() const { return lastTrace_; }
    // Its exchanges, read from its trace by a reader that has read every
    // call before: an attempt after a time-out in an earlier call is marked.
    const std::vector<TraceExchange>& LastExchanges() const { return lastExchanges_; }
    const std::vector<LogLine>& LastLog() const { return lastLog_; }
    ChannelBlock& Channel() { return *reinterpret_cast<ChannelBlock*>(channel_.data()); }

private:
    int32_t Call(uint32_t code, void* params);
    static void Sink(int32_t level, const char* text, void* context);

    KivMainFn entry_;
    DriverOutput& output_;
    std::vector<uint64_t> channel_;  // the size GetKivInfo announces, zeroed
    double lastMs_ = 0;
    std::string lastTrace_;
    std::vector<LogLine> lastLog_;
    TraceReader reader_{TraceOutput::Exchanges};
    std::vector<TraceExchange> lastExchanges_;
    bool probing_ = false;
};

// Values of a run as the driver lays them out in the host's array, and back.
std::vector<uint16_t> PackValues(const DriverAddress& address, const std::vector<uint16_t>& elements);
std::vector<uint16_t> UnpackValues(const DriverAddress& address, int32_t count, const std::vector<uint16_t>& array);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_SESSION_H
