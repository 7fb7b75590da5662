#include "analysis/attempt_view.h"

#include <algorithm>

#include "common/tool_text.h"

namespace kivhost {

int AttemptView::Station() const
{
    if (hasRequest && !request.stationDigits.empty())
        return request.station;
    return hasReply ? reply.stationEcho : -1;
}

bool AttemptView::IsAttempt() const
{
    return hasRequest && !(flags & PAIR_ANSWERED_AGAIN);
}

AttemptView ViewOf(const TraceAttempt& attempt)
{
    AttemptView view;
    view.exchange = attempt.exchange;
    view.attempt = attempt.attempt;
    view.hasRequest = true;
    view.requestBytes = attempt.requestBytes;
    view.request = attempt.request;
    view.hasReply = !attempt.replyBytes.empty();
    view.replyBytes = attempt.replyBytes;
    if (std::find(attempt.replyShown.begin(), attempt.replyShown.end(), false) != attempt.replyShown.end())
        view.replyShown = attempt.replyShown;
    view.reply = attempt.reply;
    view.outcome = attempt.outcome;
    view.maybeLate = attempt.followsTimeout && view.hasReply;
    view.lateRest = attempt.lateRest;
    return view;
}

AttemptView ViewOf(const LinePair& pair)
{
    AttemptView view;
    view.hasRequest = pair.hasRequest;
    view.attempt = pair.hasRequest ? pair.attempt : 0;
    view.requestBytes = pair.requestFrame.bytes;
    view.request = pair.request;
    view.hasReply = pair.hasReply;
    view.replyBytes = pair.replyFrame.bytes;
    view.reply = pair.reply;
    view.outcome = pair.outcome;
    view.flags = pair.flags;
    view.maybeLate = (pair.flags & PAIR_LATE) != 0;
    view.timed = true;
    // A further reply is an event of its own, at its own time.
    const bool own = !pair.hasRequest || (pair.flags & PAIR_ANSWERED_AGAIN);
    view.timeUs = own ? pair.replyFrame.startUs : pair.requestFrame.startUs;
    view.latencyUs = pair.hasRequest && pair.hasReply ? pair.latencyUs : 0;
    return view;
}

void AttemptNotes::Judge(AttemptView* view)
{
    if (!view->hasReply || view->outcome != Outcome::Good || !view->reply.complete)
        return;
    // A further reply, or one with no request, answers none: only its
    // checksum tells.
    const ReplyJudgement judged =
        judge_.Judge(view->IsAttempt() ? view->request : PconRequest{}, view->reply, view->Station());
    view->doubt = judged.doubt;
    view->replyChecksumSuspect = judged.checksumSuspect && judged.doubt != Doubt::BadChecksum;
}

std::string StationOrNone(int station)
{
    return station < 0 ? "--" : StationText(station);
}

std::string MsText(uint64_t us)
{
    return Printf("%.2f", static_cast<double>(us) / 1000.0);
}

}  // namespace kivhost
