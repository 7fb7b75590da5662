// The scan's plan, for --plan: the blocks, what each serves, their bytes
// and time on the line.
#ifndef DAVODEV_KIVHOST_SCAN_PLAN_H
#define DAVODEV_KIVHOST_SCAN_PLAN_H

#include <string>
#include <vector>

#include "common/line_settings.h"
#include "scan/block_planner.h"
#include "scan/tag_list.h"

namespace kivhost {

std::string PlanText(const std::vector<Tag>& tags, const ReadPlan& plan, int maxGap, const LineOptions& line);
std::string PlanJson(const std::vector<Tag>& tags, const ReadPlan& plan, int maxGap, const LineOptions& line);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_SCAN_PLAN_H
