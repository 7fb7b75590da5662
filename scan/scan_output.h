// What a scan shows and writes, all in one include for the callers that
// take it together: the words for tags and events (scan_messages.h), the
// logs and the cycle's JSON and line (scan_logs.h), the live table
// (scan_table.h) and the plan (scan_plan.h). Text only: where it goes is the
// command's business.
#ifndef DAVODEV_KIVHOST_SCAN_OUTPUT_H
#define DAVODEV_KIVHOST_SCAN_OUTPUT_H

#include "scan_logs.h"
#include "scan_messages.h"
#include "scan_plan.h"
#include "scan_table.h"

#endif  // DAVODEV_KIVHOST_SCAN_OUTPUT_H
