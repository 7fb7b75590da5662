// What kivhost decode and kivhost monitor show of an exchange attempt, all
// in one include for the callers that take them together: the attempt
// (attempt_view.h), its line, JSON and CSV (attempt_formats.h), the tally
// per station (line_tally.h) and the decoder of a trace (trace_decoder.h).
#ifndef DAVODEV_KIVHOST_TRACE_DECODE_H
#define DAVODEV_KIVHOST_TRACE_DECODE_H

#include "attempt_formats.h"
#include "attempt_view.h"
#include "line_tally.h"
#include "trace_decoder.h"

#endif  // DAVODEV_KIVHOST_TRACE_DECODE_H
