// The serving thread's work: the bytes off the line gathered into frames,
// each frame answered by its station and the answer sent when its faults
// let it go, every request and reply recorded, every byte shown on the
// mirror. The line is read while replies wait, so a late station does not
// deafen the others.
#ifndef DAVODEV_PLCSIM_STATION_LOOP_H
#define DAVODEV_PLCSIM_STATION_LOOP_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/stop_token.h"
#include "sim/faults.h"
#include "sim/line_mirror.h"
#include "sim/line_port.h"
#include "sim/plc_simulator.h"
#include "sim/record_log.h"
#include "sim/reply_pacing.h"
#include "sim/station_set.h"

namespace plcsim {

class StationLoop {
public:
    StationLoop(const Options& options, StationSet& stations, RecordLog& log, LineMirror& mirror,
                const kivhost::StopToken& stop);

    // Serves the line until a stop is asked for. Each call starts framing
    // afresh.
    void Serve(LineHandle line);

private:
    // What a wait on the line ended with.
    enum class LineWait {
        Bytes,   // bytes were read
        Quiet,   // nothing came: a reply may be due, or a stop asked for
        Stop,    // a stop was asked for
        Failed,  // the line failed, or hung up
    };

    // The platform's part (station_loop_posix.cpp, station_loop_win.cpp).
    // Waits for bytes until due (none: until they come or a stop), and reads
    // what came into buffer.
    LineWait ReadLine(std::optional<Clock::time_point> due, char* buffer, size_t size, size_t* got);
    // Writes some of bytes, *written of them (maybe 0 after a wait); false
    // when the line fails or a stop is asked for.
    bool WriteSome(std::string_view bytes, size_t* written);

    void Feed(std::string_view bytes, Clock::time_point now);
    void Handle(const std::string& bytes, Clock::time_point end);
    // Waits a while before looking at a failing line again; false on a stop.
    bool BackOff();
    void SendDue();
    // Records the replies that are done with and counts their requests.
    void Finish(std::vector<SentReply> replies);
    // False when the line fails or a stop is asked for.
    bool WriteAll(std::string_view bytes);

    const bool pace_;
    const std::chrono::nanoseconds charTime_;
    StationSet& stations_;
    RecordLog& log_;
    LineMirror& mirror_;
    const kivhost::StopToken& stop_;

    // Touched by the serving thread only.
    LineHandle line_ = NoLine();
    uint32_t readWaitMs_ = 0;  // Windows: the wait the line is set to, 0 unset
    std::string frame_;
    bool inFrame_ = false;
    Clock::time_point frameStart_;
    ReplyQueue replies_;
};

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_STATION_LOOP_H
