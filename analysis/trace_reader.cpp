#include "analysis/trace_reader.h"

#include <algorithm>

#include "analysis/take_oldest.h"
#include "protocol/exchange.h"

namespace kivhost {
namespace {

constexpr uint32_t MAX_DUMP = 65536;  // far above any frame: a larger count is not the driver's
constexpr std::string_view PREFIX = "REVIZ: ";
constexpr std::string_view SENT = " bytes will be send";
constexpr std::string_view RECEIVED = " bytes received";
constexpr std::string_view LINE_END = ")\n";
// A reply's characters: "/", two of header and station, the longest read's data, the trailer.
constexpr size_t LONGEST_REPLY = REPLY_OVERHEAD + 255 * 4;

// What follows "/" in a reply: hex digits, the acknowledgement and the echo
// letters. Anything else is not the rest of a reply but noise, or another
// line format.
bool IsReplyCharacter(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
}

// The trace shows CR as "."; no reply holds a "." of its own.
bool IsReplyEnd(char c)
{
    return c == FRAME_END || c == '.';
}

// The count of a "REVIZ: N ..." line ending in what, or -1.
long ByteCount(std::string_view line, std::string_view what)
{
    if (line.substr(0, PREFIX.size()) != PREFIX || line.size() < PREFIX.size() + what.size() + 1 ||
        line.substr(line.size() - what.size()) != what)
        return -1;
    const std::string_view digits = line.substr(PREFIX.size(), line.size() - PREFIX.size() - what.size());
    if (digits.size() > 9)
        return -1;
    long n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        n = n * 10 + (c - '0');
    }
    return n <= static_cast<long>(MAX_DUMP) ? n : -1;
}

}  // namespace

long SendLineCount(std::string_view line)
{
    return ByteCount(line, SENT);
}

void TraceReader::Feed(std::string_view text)
{
    // Windows writes line ends in text mode as CR LF, and some captures end
    // lines with CR alone: each ends one line. The driver never prints a CR
    // of its own (it shows them as "."), so none is a byte of a frame.
    text_.reserve(text_.size() + text.size());
    for (char c : text) {
        if (c == '\n' && afterCr_) {
            afterCr_ = false;
            continue;
        }
        afterCr_ = c == '\r';
        text_ += afterCr_ ? '\n' : c;
    }
    Parse(false);
}

void TraceReader::Finish()
{
    Parse(true);
    if (dump_ != Dump::None)
        EndDump();
    CloseAttempt();
    CloseExchange();
    counter_.Reset();
    text_.clear();
    at_ = 0;
    searched_ = 0;
    afterCr_ = false;
    skipping_ = false;
}

bool TraceReader::NextAttempt(TraceAttempt* attempt)
{
    return TakeOldest(doneAttempts_, attempt);
}

bool TraceReader::NextExchange(TraceExchange* exchange)
{
    return TakeOldest(doneExchanges_, exchange);
}

void TraceReader::Parse(bool atEnd)
{
    for (;;) {
        if (!skipping_ && dump_ != Dump::None && at_ < text_.size() && text_[at_] == '(') {
            if (!ParseByteLine(atEnd))
                break;
            continue;
        }
        size_t end = text_.find('\n', std::max(at_, searched_));
        if (end == std::string::npos) {
            searched_ = text_.size();
            if (text_.size() - at_ > TRACE_LONGEST_LINE) {
                if (!skipping_)
                    ++cutLines_;
                skipping_ = true;
                at_ = text_.size();
                break;
            }
            if (!atEnd || at_ >= text_.size())
                break;
            end = text_.size();
        }
        // A line found whole in one piece is cut as one found in many.
        if (!skipping_ && end - at_ > TRACE_LONGEST_LINE)
            ++cutLines_;
        else if (!skipping_)
            ParseTextLine(std::string_view(text_).substr(at_, end - at_));
        skipping_ = false;
        at_ = std::min(end + 1, text_.size());
    }
    text_.erase(0, at_);
    searched_ -= std::min(searched_, at_);
    at_ = 0;
}

// One "(...)" line of the dump under way; false when more text is needed to
// tell where it ends. A reply byte may be a line feed or ")", so the end is
// found from the byte count: a whole line shows min(kiv::TRACE_LINE, bytes left) bytes;
// a line whose text stopped at a zero byte shows fewer.
bool TraceReader::ParseByteLine(bool atEnd)
{
    const size_t length = std::min(kiv::TRACE_LINE, dumpLeft_);
    const size_t open = at_ + 1;
    const size_t available = text_.size() - open;
    const bool whole = available >= length + LINE_END.size() && text_.compare(open + length, 2, LINE_END) == 0;

    size_t cut = std::string::npos;
    for (size_t i = open; i + 1 < text_.size() && i < open + length; ++i) {
        if (text_[i] == ')' && text_[i + 1] == '\n') {
            cut = i;
            break;
        }
    }

    size_t shown = length;
    if (cut != std::string::npos) {
        const size_t next = cut + LINE_END.size();
        if (next >= text_.size() && !atEnd)
            return false;
        // Both readings fit: a cut line is followed by more of the trace.
        const bool traceFollows = next >= text_.size() || text_[next] == '(' || text_[next] == PREFIX[0];
        if (!whole || traceFollows)
            shown = cut - open;
    } else if (!whole) {
        if (available >= length + LINE_END.size()) {
            // Not a line of this dump: someone else's text in parentheses.
            const size_t end = text_.find('\n', at_);
            at_ = end == std::string::npos ? text_.size() : end + 1;
            return true;
        }
        if (!atEnd)
            return false;
        shown = std::min(available, length);  // the text ends inside the line
    }

    for (size_t i = 0; i < length; ++i) {
        const bool known = i <= shown;  // the zero that cut the line is known too
        dumpBytes_ += i < shown ? text_[open + i] : '\0';
        dumpShown_.push_back(known);
    }
    at_ = std::min(open + shown + LINE_END.size(), text_.size());
    dumpLeft_ -= static_cast<uint32_t>(length);
    if (dumpLeft_ == 0)
        EndDump();
    return true;
}

void TraceReader::ParseTextLine(std::string_view line)
{
    const long sent = ByteCount(line, SENT);
    const long received = sent < 0 ? ByteCount(line, RECEIVED) : -1;
    if (sent < 0 && received < 0)
        return;  // not the driver's
    if (dump_ != Dump::None)
        EndDump();
    dump_ = sent >= 0 ? Dump::Send : Dump::Receive;
    dumpLeft_ = static_cast<uint32_t>(sent >= 0 ? sent : received);
    dumpBytes_.clear();
    dumpShown_.clear();
    if (dumpLeft_ == 0)
        EndDump();
}

void TraceReader::EndDump()
{
    const Dump dump = dump_;
    dump_ = Dump::None;
    // A count line with none of its byte lines is a host echoing the
    // driver's log line before the driver's own.
    if (dumpLeft_ > 0 && dumpBytes_.empty()) {
        dumpLeft_ = 0;
        return;
    }
    dumpLeft_ = 0;
    if (dump == Dump::Send)
        Sent(std::move(dumpBytes_));
    else if (dump == Dump::Receive)
        Received(std::move(dumpBytes_), std::move(dumpShown_));
    dumpBytes_.clear();
    dumpShown_.clear();
}

void TraceReader::Sent(std::string bytes)
{
    CloseAttempt();
    // A request holds no "." of its own: the last one is its CR.
    if (!bytes.empty() && bytes.back() == '.')
        bytes.back() = FRAME_END;
    const int number = counter_.Next(bytes);
    if (number == 1) {
        CloseExchange();
        exchangeOpen_ = true;
        exchange_ = TraceExchange{};
        exchange_.number = ++exchanges_;
    }
    attempt_ = TraceAttempt{};
    attempt_.request = DecodeRequest(bytes);
    attempt_.requestBytes = std::move(bytes);
    attempt_.attempt = number;
    attempt_.exchange = exchange_.number;
    attemptOpen_ = true;
}

void TraceReader::Received(std::string bytes, std::vector<bool> shown)
{
    // A trace that starts in the middle of an attempt, or a third reception
    // the driver never makes: nothing to add it to.
    if (!attemptOpen_ || attempt_.receptions.size() >= 2)
        return;
    attempt_.receptions.push_back(static_cast<uint32_t>(bytes.size()));
    attempt_.replyBytes += bytes;
    attempt_.replyShown.insert(attempt_.replyShown.end(), shown.begin(), shown.end());
    if (Decided())
        CloseAttempt();
}

// Whether the driver is done with the attempt: a write after its one
// reception; a read after a short or refused header, or after the rest.
bool TraceReader::Decided() const
{
    const PconRequest& request = attempt_.request;
    if (!request.valid)
        return false;  // known only when the next frame goes out
    if (!request.IsRead() || attempt_.receptions.size() == 2)
        return true;
    return attempt_.receptions[0] < READ_REPLY_HEADER || JudgeReply(request, attempt_.replyBytes) != Outcome::Short;
}

void TraceReader::CloseAttempt()
{
    if (!attemptOpen_)
        return;
    attemptOpen_ = false;
    TraceAttempt& a = attempt_;
    const size_t expected = a.request.valid ? a.request.ReplyLength() : a.replyBytes.size();
    if (expected > 0 && a.replyBytes.size() >= expected && a.replyBytes[expected - 1] == '.')
        a.replyBytes[expected - 1] = FRAME_END;  // a whole reply ends in CR
    // The driver judges all it read; kivhost judges the attempt by what
    // came after the rest of an earlier reply, if one came first.
    const Outcome driverVerdict = a.receptions.empty() ? Outcome::NotSent : JudgeReply(a.request, a.replyBytes);
    a.outcome = driverVerdict;
    if (driverVerdict != Outcome::Good && driverVerdict != Outcome::NotSent)
        TakeLateRest(a);
    if (a.lateRest > 0)
        a.outcome = a.OwnReply().empty() ? Outcome::NoReply : JudgeReply(a.request, a.OwnReply());
    a.reply = DecodeReply(a.OwnReply(), a.request);
    FollowReply(a);
    counter_.Judged(driverVerdict);
    if (a.request.valid) {
        bool& timedOut = stationTimedOut_[a.request.station];
        a.followsTimeout = timedOut;
        // After the rest of an earlier reply the driver read all it asked
        // for unless it came to fewer bytes: a refused header is no time-out.
        const size_t asked =
            a.request.IsRead() && a.receptions.size() < 2 ? READ_REPLY_HEADER : a.request.ReplyLength();
        timedOut =
            a.lateRest > 0 ? a.replyBytes.size() < asked : a.outcome == Outcome::NoReply || a.outcome == Outcome::Short;
    }

    if (output_ != TraceOutput::Exchanges)
        doneAttempts_.push_back(a);
    exchange_.outcome = a.outcome;
    exchange_.attempts.push_back(std::move(a));
    if (counter_.ExchangeOver())
        CloseExchange();
}

// The reply bytes that continue the reply the last attempt began: reply
// characters up to its CR, or up to the "/" of the next reply; all of the
// attempt's bytes when that reply went with another request.
void TraceReader::TakeLateRest(TraceAttempt& a)
{
    std::string& bytes = a.replyBytes;
    if (openReply_.empty())
        return;
    size_t rest = 0;
    while (rest < bytes.size() && IsReplyCharacter(bytes[rest]) && openReply_.size() + rest < LONGEST_REPLY)
        ++rest;
    // A "." alone may be noise as well as a CR the trace shows as ".".
    if (rest == 0)
        return;
    if (rest < bytes.size() && IsReplyEnd(bytes[rest]))
        bytes[rest++] = FRAME_END;
    else if (rest < bytes.size() && bytes[rest] != FRAME_START)
        return;
    a.lateRest = rest;
    if (openExchange_ == a.exchange)
        a.lateReply = openReply_ + bytes.substr(0, rest);
    if (openRequest_ != a.requestBytes) {
        a.restStation = openStation_;
        a.lateRest = bytes.size();
    }
}

// Keeps the reply the attempt's bytes leave unfinished, for the next one.
void TraceReader::FollowReply(const TraceAttempt& a)
{
    if (a.replyBytes.empty())
        return;  // the rest may still come
    if (a.lateRest == 0)
        openReply_.clear();
    // A reply that begins after the rest of another request's goes with
    // that request's replies: the line never went quiet between.
    const bool ownStream = a.lateRest == 0 || openRequest_ == a.requestBytes;
    for (const char c : a.replyBytes) {
        if (c == FRAME_START) {
            openReply_.assign(1, c);
            if (ownStream) {
                openExchange_ = a.exchange;
                openRequest_ = a.requestBytes;
                openStation_ = a.request.valid ? a.request.station : -1;
            }
        } else if (!openReply_.empty()) {
            if (!IsReplyCharacter(c) || openReply_.size() >= LONGEST_REPLY)
                openReply_.clear();
            else
                openReply_ += c;
        }
    }
}

void TraceReader::CloseExchange()
{
    if (exchangeOpen_ && !exchange_.attempts.empty() && output_ != TraceOutput::Attempts)
        doneExchanges_.push_back(std::move(exchange_));
    exchangeOpen_ = false;
    exchange_ = TraceExchange{};
}

std::vector<TraceExchange> ReadTrace(std::string_view text)
{
    TraceReader reader(TraceOutput::Exchanges);
    reader.Feed(text);
    reader.Finish();
    std::vector<TraceExchange> exchanges;
    TraceExchange exchange;
    while (reader.NextExchange(&exchange))
        exchanges.push_back(std::move(exchange));
    return exchanges;
}

}  // namespace kivhost
