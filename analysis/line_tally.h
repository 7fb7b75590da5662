// What a run of kivhost decode or kivhost monitor saw, per station, and
// the table or JSON that ends the run.
#ifndef DAVODEV_KIVHOST_LINE_TALLY_H
#define DAVODEV_KIVHOST_LINE_TALLY_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "analysis/attempt_view.h"
#include "analysis/latency_histogram.h"
#include "common/json_object.h"

namespace kivhost {

// The outcomes a failed attempt can have, in the order tables show them.
const std::vector<Outcome>& FailureOutcomes();

// What a run saw, per station: exchanges (an exchange ends with an attempt
// the driver takes, good or doubted, or with its fourth), attempts and their
// failures by reason, replies, latencies; and the line's own flags.
class LineTally {
public:
    struct Station {
        uint64_t exchanges = 0;
        uint64_t failedExchanges = 0;  // ended without a good attempt
        uint64_t attempts = 0;
        uint64_t replies = 0;  // attempts that got anything back
        std::map<Outcome, uint64_t> failures;
        // Replies the driver took and kivhost does not, by reason: bad-data,
        // late-reply (a write another station acknowledged is a wrong station).
        std::map<Doubt, uint64_t> doubted;
        uint64_t maybeLate = 0;
        LatencyHistogram latenciesUs;
    };
    struct LineFlags {
        uint64_t badRequestChecksum = 0;
        uint64_t replyWithoutRequest = 0;
        uint64_t late = 0;
        uint64_t answeredAgain = 0;
        uint64_t garbage = 0;
        uint64_t noCr = 0;
    };

    void Add(const AttemptView& view);
    // Ends the exchanges still open: after the last attempt of a run.
    void Finish();

    const std::map<int, Station>& Stations() const { return stations_; }
    const LineFlags& Flags() const { return flags_; }

    // The table for people; withLine adds requests, replies, latencies and
    // the line's flags, as the monitor sees them.
    std::string Table(bool withLine) const;
    Json ToJson(bool withLine) const;

private:
    void CloseExchange();

    std::map<int, Station> stations_;
    LineFlags flags_;
    bool open_ = false;  // an exchange is under way
    int openStation_ = -1;
    bool openGood_ = false;
};

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_LINE_TALLY_H
