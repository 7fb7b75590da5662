#include "line_monitor.h"

#include <nlohmann/json.hpp>

#include "attempt_formats.h"

namespace kivhost {

LineMonitor::LineMonitor(const MonitorSettings& settings, const MonitorOutputs& outputs)
    : splitter_(settings.gapUs), pairer_(settings.lateUs), outputs_(outputs)
{
    if (outputs_.csv != nullptr)
        std::fprintf(outputs_.csv, "%s\n", CsvHeader().c_str());
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
    for (FILE* file : {outputs_.text, outputs_.jsonl, outputs_.csv})
        if (file != nullptr)
            std::fflush(file);
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
    while (pairer_.Next(&pair)) {
        AttemptView view = ViewOf(pair);
        notes_.Judge(&view);
        tally_.Add(view);
        attempts_ += view.IsAttempt();
        any = true;
        if (outputs_.text != nullptr)
            std::fprintf(outputs_.text, "%s\n", AttemptLine(view).c_str());
        if (outputs_.jsonl != nullptr)
            std::fprintf(outputs_.jsonl, "%s\n", JsonText(AttemptJson(view, outputs_.utcAtOriginUs)).c_str());
        if (outputs_.csv != nullptr)
            std::fprintf(outputs_.csv, "%s\n", AttemptCsv(view, outputs_.utcAtOriginUs).c_str());
    }
    // Shown as it happens: a watch is read while it runs.
    if (any)
        for (FILE* file : {outputs_.text, outputs_.jsonl, outputs_.csv})
            if (file != nullptr)
                std::fflush(file);
}

}  // namespace kivhost
