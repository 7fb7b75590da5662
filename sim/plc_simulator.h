// PLC stations on a serial line, for tests and for trying a host without
// hardware. The simulator serves the master side of a pseudo-terminal (Linux)
// or a real serial device (a COM port on Windows) from a background thread;
// the driver opens the other side like a port.
#ifndef DAVODEV_PLCSIM_PLC_SIMULATOR_H
#define DAVODEV_PLCSIM_PLC_SIMULATOR_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/number_rules.h"

namespace plcsim {

// The command lines' number rules, shared with kivhost.
using kivhost::CharFormat;
using kivhost::FIRST_STATION;
using kivhost::LAST_STATION;
using kivhost::ParseCharFormat;
using kivhost::ParseNumber;
using kivhost::ParseParity;
using kivhost::ParseStation;

// What can go wrong with one station's answer. Silent, Drop, WrongStation,
// Nak, Truncate, Extra, Noise and Corrupt change what is sent; Delay, Split
// and Pace change when it is sent.
enum class FaultKind {
    Silent,        // the request is not heard: not executed, no reply
    Drop,          // executed, but the reply is lost
    WrongStation,  // the reply names another station (checksum made to fit)
    Nak,           // position 1 is not "A" (checksum made to fit)
    Truncate,      // only the first characters of the reply are sent
    Extra,         // bytes follow the reply
    Noise,         // bytes come before the reply
    Delay,         // the reply starts late
    Split,         // the reply comes in pieces with pauses between them
    Corrupt,       // one data character is damaged (checksum left as it was)
    Pace,          // each byte is sent when a real line would deliver it
};

// A fault and its parameters. value means, by kind:
//   WrongStation: station number to claim (0: the addressed one plus 1)
//   Nak:          character code at position 1 (0: 'N')
//   Truncate:     characters kept (default 5)
//   Extra, Noise: number of bytes (default 3)
//   Delay:        milliseconds
//   Split:        number of pieces (default 2); pauseMs between them
// Corrupt puts 'G' in place of a word digit and flips a bit character;
// replies without data are left alone. Pace uses the line's baud rate and
// character format.
struct Fault {
    FaultKind kind = FaultKind::Silent;
    double probability = 1.0;  // chance of applying, drawn per request
    int value = 0;
    int pauseMs = 20;
};

const char* FaultName(FaultKind kind);
std::optional<FaultKind> FaultFromName(std::string_view name);
// "NAME[=VALUE][@PROBABILITY]", e.g. "silent", "drop=0.3" (for drop the value
// is the chance that the reply is lost; with @ as well the two multiply),
// "delay=200", "split=3/20", "truncate=5", "nak@0.5". Numbers are decimal or
// hex with 0x; a value out of its range, or a value for a fault that takes
// none, is refused, and why says why.
std::optional<Fault> ParseFault(std::string_view text, std::string* why = nullptr);

struct Record {
    enum class Direction { Request, Reply };
    uint64_t sequence = 0;  // counts every record ever made
    Direction direction = Direction::Request;
    int station = -1;  // -1 when the request could not be read
    std::string bytes;
    std::vector<FaultKind> faults;  // the faults applied to this exchange
    std::string note;               // why a request got no reply
    // Request: its "/" and its CR received. Reply: first and last byte written.
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point end;
};

// Why path cannot be made a link to a line, or "" when it can: only a
// dangling symbolic link is replaced (a link to something that exists may
// be another line, or someone's terminal), nothing else, and the folder
// must exist and be writable.
std::string LinkRefusal(const std::string& path);

// Bytes as text: CR as "\r", LF as "\n", other control bytes as "\xNN".
std::string Printable(std::string_view bytes);
// One line (no newline): seconds since origin, rx/tx, station, bytes, faults, note.
std::string FormatRecord(const Record& record, std::chrono::steady_clock::time_point origin);

struct Options {
    std::vector<int> stations{1};  // station numbers present on the line, 0..255
    uint32_t seed = 1;             // for every random choice of the faults
    int baud = 9600;               // any rate: a device is set to it, and replies are paced by it
    CharFormat format;
    bool pace = false;  // pace every reply, as the Pace fault does
    std::string link;   // if set, a symlink to the line's path
    // If set, a second pseudo-terminal, linked here, on which every byte of
    // the line appears in time order, requests and replies alike, as a
    // listening adapter on a bus sees them. Its reader never holds the line
    // up: what it is too slow to take is dropped and counted.
    std::string mirror;
    size_t maxRecords = 100000;
    // Called on the serving thread after each record is stored.
    std::function<void(const Record&)> onRecord;
};

// All members are safe to call from any thread while the simulator runs.
// Station numbers that are not on the line throw std::out_of_range, as do
// numbers outside memory. A and E numbers are in tag form: byte << 4 | bit.
// Only replies are paced: requests are taken as fast as they come, also
// while a reply waits out its delay. Replies go out in the order their times
// come due (equal times: in the order of their requests) and never
// interleave: one due while another is going out follows it whole.
class Simulator {
public:
    explicit Simulator(Options options = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens the line (and the mirror) and starts serving. Throws
    // std::runtime_error (std::system_error on Linux) on failure, leaving no
    // link behind. StartPty, links and the mirror are Linux only; on Windows
    // the device is a COM port by name, e.g. "COM4".
    void StartPty();
    void StartDevice(const std::string& path);
    // Stops serving, closes the line and removes the link. Idempotent.
    void Stop();
    bool Running() const;
    // The pseudo-terminal's slave path, or the device path.
    std::string SlavePath() const;
    // The mirror's slave path ("" without a mirror), and the bytes its
    // reader missed because it did not take them in time.
    std::string MirrorPath() const;
    uint64_t MirrorDropped() const;

    // Unplug closes the line as a pulled cable would: the other side of a
    // pseudo-terminal sees a hang-up. Replug opens a new one (a new slave path;
    // the link, if any, is moved to it) and serves it. The mirror stays.
    void Unplug();
    void Replug();

    bool HasStation(int station) const;
    void SetWord(int station, int number, uint16_t value);
    uint16_t Word(int station, int number) const;
    void SetBit(int station, char operand, int number, bool value);
    bool Bit(int station, char operand, int number) const;

    // A standing fault; replaces one of the same kind.
    void SetFault(int station, const Fault& fault);
    // Removes the station's standing and scripted faults.
    void ClearFaults(int station);
    // The next nextRequests requests to the station get this fault, on top of
    // the standing ones. Scripts queue up behind each other.
    void ScriptFault(int station, const Fault& fault, int nextRequests);

    std::vector<Record> Records() const;  // the latest maxRecords
    void ClearRecords();
    // Frames taken off the line and fully handled (reply sent or not).
    uint64_t RequestCount() const;
    bool WaitForRequests(uint64_t count, std::chrono::milliseconds timeout) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace plcsim

#endif  // DAVODEV_PLCSIM_PLC_SIMULATOR_H
