// The line side of the benchmark: pseudo-terminals, a responder that answers
// without parsing, the floor client that makes the driver's system calls
// with no driver around them, and what a simulator's line lacks of a real one.
#ifndef DAVODEV_KIVBENCH_BENCH_LINE_H
#define DAVODEV_KIVBENCH_BENCH_LINE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "sim/plc_simulator.h"

namespace kivbench {

// "/" + body + checksum + CR, as a station or the driver frames it.
std::string Framed(const std::string& body);

// A pseudo-terminal pair; the master stays here, the slave is the "port".
class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int Master() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }
    // The slave's name as the driver takes it, short enough for the 12 bytes
    // of ChannelBlock.portName ("pts/N" is looked for under /dev/).
    std::string PortName() const { return slavePath_.substr(5); }

private:
    int master_ = -1;
    std::string slavePath_;
};

// What a station answers on one of its lines: `reply` to every request. A
// request ends in a CR, or, when requestLength is not 0, is that many bytes
// (a binary frame, whose bytes may be anything).
struct LineAnswer {
    std::string reply;
    size_t requestLength = 0;
};

// A station on one or more lines, served by one thread: every request gets
// its line's fixed reply written in one piece, after an optional turnaround,
// with no parsing; with an empty reply it is a silent station and only
// drains its lines. The driver's line and its baseline's share one responder
// so that both sides talk to the same thread wherever the scheduler puts it.
// Start it once the clients have opened the slaves: the thread ends when
// every slave has been closed.
class Responder {
public:
    // Every line answers `reply` to requests that end in a CR.
    Responder(int lines, std::string reply, std::chrono::microseconds turnaround = std::chrono::microseconds(0));
    // One line for each answer.
    explicit Responder(std::vector<LineAnswer> answers,
                       std::chrono::microseconds turnaround = std::chrono::microseconds(0));
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    const Pty& Line(int index) const { return *lines_[index]; }
    void Start();
    // After the clients have closed their side.
    void Join();

private:
    void Serve();
    bool Answer(size_t line, const char* bytes, ssize_t n);
    bool Reply(int master, const std::string& reply);

    std::vector<std::unique_ptr<Pty>> lines_;
    std::vector<LineAnswer> answers_;
    std::vector<size_t> pending_;  // bytes of a fixed-length request received so far
    std::chrono::microseconds turnaround_;
    std::thread thread_;
};

// The floor: the system calls the Linux backend makes for one exchange and
// nothing else. Before the write, a zero-time poll (the input check of the
// flush; FIONREAD and the drain only when it shows input); the frame in one
// write; the reply read as `header` bytes and then `rest`, each by read, with
// a poll before a read wherever the input was last seen empty (after the
// check, after a read that found nothing or took all there was).
class FloorClient {
public:
    FloorClient() = default;
    ~FloorClient();
    FloorClient(const FloorClient&) = delete;
    FloorClient& operator=(const FloorClient&) = delete;

    // Opens and configures the slave as the backend does (raw, non-blocking).
    bool Open(const std::string& slavePath);
    void Close();
    int Fd() const { return fd_; }
    // True when the whole reply arrived within timeoutMs per read.
    bool Exchange(const std::string& frame, uint8_t* reply, size_t header, size_t rest, int timeoutMs = 1000);

private:
    bool ReadFull(uint8_t* buffer, size_t want, int timeoutMs);
    int fd_ = -1;
    bool inputSeenEmpty_ = false;
};

// The simulator paces its replies at the baud rate but takes a request as
// fast as the pseudo-terminal brings it: a read request's wire time (every
// one is 14 characters), set as a delay before each reply, makes a cycle of
// block reads take what it would on a line.
plcsim::Fault RequestTime(int baud);

}  // namespace kivbench

#endif  // DAVODEV_KIVBENCH_BENCH_LINE_H
