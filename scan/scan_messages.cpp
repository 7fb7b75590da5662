#include "scan/scan_messages.h"

#include "analysis/exchange_report.h"
#include "common/tool_text.h"

namespace kivhost {

std::string ValueText(const TagState& state)
{
    std::string out;
    for (uint16_t value : state.values) {
        if (!out.empty())
            out += ' ';
        out += std::to_string(value);
    }
    return out;
}

std::string ReasonText(const TagState& state)
{
    if (state.quality == Quality::Failed || state.quality == Quality::Down)
        return OutcomeName(state.reason);
    // The quality says bad-data; a reply of another request says so too.
    if (state.quality == Quality::BadData && state.doubt == Doubt::LateReply)
        return ReasonName(Outcome::Good, state.doubt);
    if (state.quality != Quality::Good)
        return "";
    std::string flags;
    if (state.late)
        flags = "late?";
    if (state.checksum)
        flags += flags.empty() ? "checksum?" : " checksum?";
    return flags;
}

std::string TagMessage(const ScanEngine& engine, size_t tag)
{
    const TagState& state = engine.States()[tag];
    const ReadBlock& block = engine.Plan().blocks[engine.Plan().places[tag].block];
    switch (state.quality) {
    case Quality::Failed:
    case Quality::BadData: return state.message;
    case Quality::Down:
        return "station " + StationText(block.start.station) +
               (IsSilence(state.reason) ? "" : " refused the read of " + BlockName(block) + ", which") +
               " is set aside after " + OutcomeText(state.reason) + " and asked again every " + RetryWords(engine) +
               "; the value is the last good one";
    case Quality::Rejected: return "the driver rejected the read of " + BlockName(block) + " (REJECTED)";
    case Quality::Good:
        if (state.late)
            return "possibly a late answer: an attempt before it to the station timed out, and the protocol carries "
                   "no request number; raise --timeout";
        if (state.checksum)
            return "checksum? the reply does not end in the checksum of the request rule";
        return "";
    case Quality::Stale: return "not read again for too long: the value is the last good one";
    case Quality::None: break;
    }
    return "";
}

std::string EventText(const ScanEngine& engine, const ScanEvent& event)
{
    const std::string station = "station " + StationText(event.station);
    const std::string block = BlockName(engine.Plan().blocks[event.block]);
    const std::string why =
        std::string(OutcomeText(event.reason)) + ", " + Plural(event.attempts, "attempt", "attempts");
    switch (event.kind) {
    case ScanEvent::Kind::StationDown:
        return station + " stopped answering (" + why + " to the read of " + block +
               "): its tags keep their last values; asked again every " + RetryWords(engine);
    case ScanEvent::Kind::StillDown:
        return station + " still does not answer (" + why + "); asked again in " + RetryWords(engine);
    case ScanEvent::Kind::StationBack:
        return station + " answers again, after " + Printf("%.1f s", event.downSeconds) + " set aside";
    case ScanEvent::Kind::BlockRefused:
        return station + " answers the read of " + block + " with " + why + ": asked again every " + RetryWords(engine);
    case ScanEvent::Kind::BlockBack:
        return station + " answers the read of " + block + " again, after " + Printf("%.1f s", event.downSeconds) +
               " set aside";
    case ScanEvent::Kind::ChecksumUnused: return ChecksumNotice(event.station);
    }
    return "";
}

std::string Plural(long long n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string RetryWords(const ScanEngine& engine)
{
    return RetryWords(engine.Settings().retryDown);
}

std::string RetryWords(std::chrono::milliseconds retry)
{
    const auto ms = retry.count();
    return ms % 1000 == 0 ? Plural(ms / 1000, "s", "s") : Printf("%.1f s", static_cast<double>(ms) / 1000);
}

}  // namespace kivhost
