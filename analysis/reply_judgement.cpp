#include "analysis/reply_judgement.h"

namespace kivhost {

const char* ReasonName(Outcome outcome, Doubt doubt)
{
    switch (doubt) {
    case Doubt::BadData:
    case Doubt::BadChecksum: return "bad-data";
    case Doubt::LateReply: return "late-reply";
    case Doubt::OtherStation: return OutcomeName(Outcome::WrongStation);
    case Doubt::None: break;
    }
    return OutcomeName(outcome);
}

const char* DoubtText(Doubt doubt)
{
    switch (doubt) {
    case Doubt::BadData:
    case Doubt::BadChecksum: return "bad data";
    case Doubt::LateReply: return "late reply";
    case Doubt::OtherStation: return "wrong station";
    case Doubt::None: break;
    }
    return "";
}

ChecksumVerdict ChecksumTrust::Judge(int station, bool checksumOk)
{
    // After a few replies that all break the rule the station is taken to
    // sum in its own way; once one kept it, a break is damage.
    Checksums& sums = stations_[station];
    if (checksumOk) {
        ++sums.matched;
        return ChecksumVerdict::Kept;
    }
    ++sums.mismatched;
    if (sums.matched > 0)
        return ChecksumVerdict::Broken;
    return sums.mismatched <= CHECKSUM_FLAGS_BEFORE_TRUST ? ChecksumVerdict::Flagged : ChecksumVerdict::Unused;
}

bool ChecksumTrust::JustTrusted(int station) const
{
    const auto found = stations_.find(station);
    return found != stations_.end() && found->second.matched == 0 &&
           found->second.mismatched == CHECKSUM_FLAGS_BEFORE_TRUST + 1;
}

ReplyJudgement ReplyJudge::Judge(const PconRequest& request, const PconReply& reply, int station)
{
    ReplyJudgement judged;
    if (request.valid) {
        // The station's digits first, as the driver checks a read's; then
        // whether it answers this request at all; then its data.
        if (!request.IsRead() && !reply.stationMatches)
            judged.doubt = Doubt::OtherStation;
        else if (!reply.echoMatches)
            judged.doubt = Doubt::LateReply;
        else if (request.IsRead() && !reply.dataOk)
            judged.doubt = Doubt::BadData;
    }
    if (judged.doubt != Doubt::None) {
        // A damaged or stray reply tells nothing of how the station sums.
        judged.checksumSuspect = !reply.checksumOk;
        return judged;
    }
    switch (checksums_.Judge(station, reply.checksumOk)) {
    case ChecksumVerdict::Kept: break;
    case ChecksumVerdict::Flagged: judged.checksumSuspect = true; break;
    case ChecksumVerdict::Broken:
        judged.doubt = Doubt::BadChecksum;
        judged.checksumSuspect = true;
        break;
    case ChecksumVerdict::Unused:
        if (checksums_.JustTrusted(station))
            judged.checksumUnused = station;
        break;
    }
    return judged;
}

}  // namespace kivhost
