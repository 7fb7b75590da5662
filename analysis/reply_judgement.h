// kivhost's one judgement of a reply the driver took as good, the same in
// read, write, poll, scan, stations, decode, monitor and kivgate. The driver
// checks a read's "/", station digits and "A", and a write's "A" alone; it
// does not look at the echo of the request or the reply's checksum. kivhost
// does, and a reply it doubts is never passed off as good.
#ifndef DAVODEV_KIVHOST_REPLY_JUDGEMENT_H
#define DAVODEV_KIVHOST_REPLY_JUDGEMENT_H

#include <map>

#include "wire/pcon_frame.h"

namespace kivhost {

// Stations whose replies never follow the checksum rule are flagged this
// many times, then named once and taken as they are: some PLCs sum
// differently.
constexpr int CHECKSUM_FLAGS_BEFORE_TRUST = 3;

// What kivhost holds against a reply the driver took as good.
enum class Doubt {
    None,
    BadData,       // a read's data characters are not what the operand allows
    BadChecksum,   // the checksum breaks the rule, from a station whose replies kept it
    LateReply,     // it repeats another request (positions 4 and 5): the answer to an earlier one
    OtherStation,  // a write acknowledged with another station's digits
};

// The one judgement of a read or write: the driver took the reply and
// kivhost holds nothing against it.
constexpr bool JudgedGood(bool driverTook, Doubt doubt)
{
    return driverTook && doubt == Doubt::None;
}

// Why an exchange is not good, as JSON, logs and tables name it: "bad-data"
// (damaged data or checksum), "late-reply", "wrong-station", or the
// outcome's name when nothing is doubted.
const char* ReasonName(Outcome outcome, Doubt doubt);
// "bad data", "late reply", "wrong station"; "" for none.
const char* DoubtText(Doubt doubt);

// How a reply's checksum went, given the station's replies before it.
enum class ChecksumVerdict {
    Kept,     // it keeps the rule of requests
    Flagged,  // it breaks it, and the station never kept it: "checksum?", a few times
    Broken,   // it breaks it, and the station's replies kept it before: damaged on the way
    Unused,   // it breaks it, and the station never keeps it: taken as it is
};

// Per station, how its replies' checksums went.
class ChecksumTrust {
public:
    ChecksumVerdict Judge(int station, bool checksumOk);
    // The last Judge stopped the station's flags: say so, once.
    bool JustTrusted(int station) const;

private:
    struct Checksums {
        int matched = 0;
        int mismatched = 0;
    };
    std::map<int, Checksums> stations_;
};

struct ReplyJudgement {
    Doubt doubt = Doubt::None;
    bool checksumSuspect = false;  // the checksum breaks the rule, and that is worth saying
    int checksumUnused = -1;       // the station named now: its replies never keep the rule
};

// One for a run of a tool: it learns, per station, how the checksums go.
class ReplyJudge {
public:
    // A whole reply the driver took as good. request: what it answers; not
    // valid for a reply with no request before it on the line, which is
    // judged by its checksum alone. station: whose checksums it counts for.
    ReplyJudgement Judge(const PconRequest& request, const PconReply& reply, int station);

private:
    ChecksumTrust checksums_;
};

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_REPLY_JUDGEMENT_H
