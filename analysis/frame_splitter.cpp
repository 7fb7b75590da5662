#include "analysis/frame_splitter.h"

#include "analysis/take_oldest.h"

namespace kivhost {

FrameSplitter::FrameSplitter(uint64_t gapUs, size_t maxFrame) : gapUs_(gapUs), maxFrame_(maxFrame > 0 ? maxFrame : 1)
{
}

void FrameSplitter::Feed(std::string_view bytes, uint64_t timeUs)
{
    if (!bytes.empty())
        Idle(timeUs);
    for (char c : bytes) {
        if (c == FRAME_START && open_)
            End(FrameEnd::NextFrame);
        if (!open_) {
            open_ = true;
            frame_ = LineFrame{};
            frame_.startUs = timeUs;
            frame_.garbage = c != FRAME_START;
        }
        frame_.bytes += c;
        frame_.endUs = timeUs;
        if (c == FRAME_END)
            End(FrameEnd::Cr);
        else if (frame_.bytes.size() >= maxFrame_)
            End(FrameEnd::Overlong);
    }
}

void FrameSplitter::Idle(uint64_t nowUs)
{
    if (open_ && nowUs > frame_.endUs && nowUs - frame_.endUs > gapUs_)
        End(FrameEnd::Gap);
}

void FrameSplitter::Finish()
{
    if (open_)
        End(FrameEnd::EndOfInput);
}

bool FrameSplitter::Drop()
{
    const bool dropped = open_;
    frame_ = LineFrame{};
    open_ = false;
    return dropped;
}

bool FrameSplitter::Next(LineFrame* frame)
{
    return TakeOldest(done_, frame);
}

void FrameSplitter::End(FrameEnd end)
{
    frame_.end = end;
    done_.push_back(std::move(frame_));
    frame_ = LineFrame{};
    open_ = false;
}

void LinePairer::Add(const LineFrame& frame)
{
    // Garbage where a reply is awaited is what the host reads as its reply.
    if (frame.garbage && !waiting_) {
        LinePair pair;
        pair.hasReply = true;
        pair.replyFrame = frame;
        pair.outcome = Outcome::Garbled;
        pair.flags = PAIR_GARBAGE;
        done_.push_back(std::move(pair));
    } else if (!frame.garbage && LooksLikeRequest(frame.bytes)) {
        AddRequest(frame);
    } else {
        AddReply(frame);
    }
}

void LinePairer::Finish()
{
    if (waiting_)
        Unanswered();
}

bool LinePairer::Next(LinePair* pair)
{
    return TakeOldest(done_, pair);
}

void LinePairer::AddRequest(const LineFrame& frame)
{
    if (waiting_)
        Unanswered();
    last_ = LinePair{};
    last_.hasRequest = true;
    last_.requestFrame = frame;
    last_.request = DecodeRequest(frame.bytes);
    last_.attempt = counter_.Next(frame.bytes);
    if (!last_.request.valid || !last_.request.checksumOk)
        last_.flags |= PAIR_BAD_REQUEST_CHECKSUM;
    if (frame.end != FrameEnd::Cr)
        last_.flags |= PAIR_NO_CR;
    waiting_ = true;
    answered_ = false;
}

void LinePairer::AddReply(const LineFrame& frame)
{
    LinePair pair;
    if (waiting_ || answered_) {
        pair = last_;
        pair.latencyUs = frame.startUs > last_.requestFrame.endUs ? frame.startUs - last_.requestFrame.endUs : 0;
        if (pair.latencyUs > lateUs_)
            pair.flags |= PAIR_LATE;
        if (answered_)
            pair.flags |= PAIR_ANSWERED_AGAIN;
    } else {
        pair.flags = PAIR_NO_REQUEST;
    }
    pair.hasReply = true;
    pair.replyFrame = frame;
    pair.reply = DecodeReply(frame.bytes, pair.request);
    pair.outcome = JudgeReply(pair.request, frame.bytes);
    if (frame.garbage)
        pair.flags |= PAIR_GARBAGE;
    else if (frame.end != FrameEnd::Cr)
        pair.flags |= PAIR_NO_CR;

    if (waiting_) {
        counter_.Judged(pair.outcome);
        waiting_ = false;
        answered_ = true;
    }
    done_.push_back(std::move(pair));
}

void LinePairer::Unanswered()
{
    LinePair pair = last_;
    pair.outcome = Outcome::NoReply;
    counter_.Judged(pair.outcome);
    done_.push_back(std::move(pair));
    waiting_ = false;
}

}  // namespace kivhost
