#include "analysis/line_monitor.h"

#include <nlohmann/json.hpp>

#include "analysis/attempt_formats.h"
#include "common/stop_signals.h"

namespace kivhost {

LineMonitor::LineMonitor(const MonitorSettings& settings, const MonitorOutputs& outputs)
    : splitter_(settings.gapUs), pairer_(settings.lateUs), outputs_(outputs)
{
}

void LineMonitor::Feed(std::string_view bytes, uint64_t timeUs)
{
    splitter_.Feed(bytes, timeUs);
    Drain();
}

void LineMonitor::Idle(uint64_t nowUs)
{
    splitter_.Idle(nowUs);
    Drain();
}

void LineMonitor::Finish()
{
    splitter_.Finish();
    Drain();
    pairer_.Finish();
    Drain();
    tally_.Finish();
    if (outputs_.text != nullptr)
        std::fflush(outputs_.text);
}

void LineMonitor::Stop()
{
    Drain();
    if (splitter_.Drop())
        pairer_.Forget();
    Finish();
}

void LineMonitor::Drain()
{
    LineFrame frame;
    while (splitter_.Next(&frame)) {
        ++frames_;
        pairer_.Add(frame);
    }
    LinePair pair;
    bool any = false;
    std::string jsonl;
    std::string csv;
    while (pairer_.Next(&pair)) {
        AttemptView view = ViewOf(pair);
        notes_.Judge(&view);
        tally_.Add(view);
        attempts_ += view.IsAttempt();
        any = true;
        if (outputs_.text != nullptr)
            std::fprintf(outputs_.text, "%s\n", AttemptLine(view).c_str());
        if (outputs_.jsonl != nullptr)
            jsonl += JsonText(AttemptJson(view, outputs_.utcAtOriginUs)) + "\n";
        if (outputs_.csv != nullptr)
            csv += AttemptCsv(view, outputs_.utcAtOriginUs) + "\n";
    }
    if (!any)
        return;
    // Shown as it happens: a watch is read while it runs.
    if (outputs_.text != nullptr && (std::fflush(outputs_.text) != 0 || std::ferror(outputs_.text) != 0))
        RequestStop();
    if (outputs_.jsonl != nullptr)
        outputs_.jsonl->Write(jsonl);
    if (outputs_.csv != nullptr)
        outputs_.csv->Write(csv);
}

}  // namespace kivhost
