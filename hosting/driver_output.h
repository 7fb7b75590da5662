// The driver prints its byte traces on the process's standard output. Our
// results go to a stream of their own on the original standard output, and
// descriptor 1 goes to a scratch file that is emptied after every call:
// shown by the trace view with --trace, dropped otherwise.
#ifndef DAVODEV_KIVHOST_DRIVER_OUTPUT_H
#define DAVODEV_KIVHOST_DRIVER_OUTPUT_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "hosting/trace_view.h"

namespace kivhost {

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
    // The results flushed and closed: "" if everything written went out,
    // else why not (CloseStream). Once, at the end.
    std::string CloseResults();
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

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_DRIVER_OUTPUT_H
