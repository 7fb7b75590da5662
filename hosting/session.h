// kivhost as the driver's host: the library loaded at run time, standard
// output taken back from the driver's traces, the log sink, the records.
#ifndef DAVODEV_KIVHOST_DRIVER_H
#define DAVODEV_KIVHOST_DRIVER_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "davodev.h"
#include "line_settings.h"
#include "trace_reader.h"
#include "trace_view.h"

namespace kivhost {

// The driver library to load when --lib is not given (libDAVODEV.so, DAVODEV.dll).
std::string DefaultLibraryPath();

class DriverLibrary {
public:
    // nullptr, with the reason in error, if the library or its KivMain is missing.
    static std::unique_ptr<DriverLibrary> Load(const std::string& path, std::string* error);
    ~DriverLibrary();
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    KivMainFn Entry() const { return entry_; }

private:
    DriverLibrary(void* handle, KivMainFn entry) : handle_(handle), entry_(entry) {}
    void* handle_;
    KivMainFn entry_;
};

// The driver prints its byte traces on the process's standard output. Our
// results go to a stream of their own on the original standard output, and
// descriptor 1 goes to a scratch file that is emptied after every call:
// shown by the trace view with --trace, dropped otherwise.
class DriverOutput {
public:
    DriverOutput() = default;
    ~DriverOutput();
    DriverOutput(const DriverOutput&) = delete;
    DriverOutput& operator=(const DriverOutput&) = delete;

    bool Start(std::string* error);
    // Where the traces are shown; nullptr: nowhere. Not owned.
    void ShowTraces(TraceView* view) { view_ = view; }
    FILE* Results() const { return results_; }
    bool ResultsOnTerminal() const;

    // What the driver printed since the last collection.
    std::string Collect();
    // A line of the host log, shown in order with the traces.
    void ShowLog(int32_t level, const char* text);
    // A call of the driver has returned.
    void CallEnded();

private:
    FILE* results_ = nullptr;
    int scratch_ = -1;
    TraceView* view_ = nullptr;
};

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

#endif  // DAVODEV_KIVHOST_DRIVER_H
