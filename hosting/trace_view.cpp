#include "hosting/trace_view.h"

#include "analysis/exchange_report.h"
#include "common/byte_text.h"
#include "common/tool_text.h"

namespace kivhost {
namespace {

constexpr const char* PAD = "                  ";  // under the tag column, for the hex line

}  // namespace

TraceView::TraceView(TraceMode mode, OutputFile* out) : mode_(mode), out_(out), start_(std::chrono::steady_clock::now())
{
}

double TraceView::Now() const
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
}

void TraceView::Line(double ms, const std::string& tag, const std::string& text)
{
    text_ += Printf("%10.3f  %-6s  ", ms, tag.c_str()) + text + "\n";
}

void TraceView::Flush()
{
    out_->Write(text_);
    text_.clear();
}

void TraceView::Driver(std::string_view text)
{
    if (mode_ == TraceMode::Raw) {
        pending_ += text;
        size_t start = 0;
        for (size_t end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n', start)) {
            text_ += "trace| " + Cp437ToUtf8(std::string_view(pending_).substr(start, end - start)) + "\n";
            start = end + 1;
        }
        pending_.erase(0, start);
        Flush();
        return;
    }
    reader_.Feed(text);
    ShowAttempts();
}

void TraceView::Log(int32_t level, std::string_view text)
{
    if (mode_ == TraceMode::Raw) {
        text_ += "log " + std::to_string(level) + "| " + Cp437ToUtf8(text) + "\n";
        Flush();
        return;
    }
    const double now = Now();
    if (sent_.empty()) {
        Line(now, "log " + std::to_string(level), Cp437ToUtf8(text));
        Flush();
    } else {
        held_.push_back({now, level, Cp437ToUtf8(text)});
    }
    // The driver says how many bytes it will send just before it sends them.
    if (SendLineCount(text) >= 0)
        sent_.push_back(now);
}

void TraceView::CallEnded()
{
    if (mode_ == TraceMode::Raw)
        return;
    reader_.Finish();
    ShowAttempts();
    sent_.clear();
    ShowHeld();
}

void TraceView::ShowAttempts()
{
    TraceAttempt attempt;
    bool any = false;
    while (reader_.NextAttempt(&attempt)) {
        any = true;
        const double now = Now();
        double sent = now;
        if (!sent_.empty()) {
            sent = sent_.front();
            sent_.pop_front();
        }
        Line(sent, "TX", VisibleBytes(attempt.requestBytes, {}));
        if (mode_ == TraceMode::Hex)
            text_ += std::string(PAD) + "  " + HexBytes(attempt.requestBytes, {}) + "\n";

        std::string reply;
        if (attempt.outcome == Outcome::NotSent)
            reply = "(not sent: the port did not take it)";
        else if (attempt.replyBytes.empty())
            reply = "(nothing)";
        else
            reply = VisibleBytes(attempt.replyBytes, attempt.replyShown);
        if (attempt.lateRest > 0)
            reply += "   the rest of the previous reply, arrived late" +
                     (attempt.OwnReply().empty() ? "" : std::string(", then ") + OutcomeText(attempt.outcome)) +
                     ", attempt " + std::to_string(attempt.attempt);
        else if (attempt.outcome != Outcome::Good && attempt.outcome != Outcome::NotSent)
            reply += std::string("   ") + OutcomeText(attempt.outcome) + ", attempt " + std::to_string(attempt.attempt);
        if (attempt.followsTimeout && !attempt.replyBytes.empty())
            reply += "   may answer the request before: it timed out";
        Line(now, "RX", reply);
        if (mode_ == TraceMode::Hex && !attempt.replyBytes.empty())
            text_ += std::string(PAD) + "  " + HexBytes(attempt.replyBytes, attempt.replyShown) + "\n";
    }
    if (any && sent_.empty())
        ShowHeld();
    Flush();
}

void TraceView::ShowHeld()
{
    for (const HeldLog& log : held_)
        Line(log.ms, "log " + std::to_string(log.level), log.text);
    held_.clear();
    Flush();
}

}  // namespace kivhost
