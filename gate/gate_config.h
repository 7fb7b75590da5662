// The gateway's tags: a scan's tag file with more columns, each optional.
// modbus places the tag in the Modbus map ("hr:100", "ir:100", "coil:5",
// "di:5"; a run takes consecutive registers or coils), topic names its MQTT
// topic (PREFIX/NAME by default; "~/flow" is PREFIX/flow, any other is
// taken as it is), access is ro (the default) or rw. A tag
// without a modbus place goes after the highest one the file gives in its
// space, in file order: words to holding registers, bits to coils, from 0.
// format, scale, offset and unit say what a word tag's values are
// (value_format.h); count counts values, and a 32-bit value takes two words.
//
// Every row and every clash of the map is refused, FILE:LINE: why, before
// the port is opened.
#ifndef KIVGATE_GATE_CONFIG_H
#define KIVGATE_GATE_CONFIG_H

#include <string>
#include <vector>

#include "common/line_settings.h"
#include "gate/gate_state.h"
#include "scan/block_planner.h"
#include "scan/tag_list.h"

namespace kivgate {

// The columns ParseTagFile takes for the gateway, in Tag::extra's order.
const std::vector<std::string>& GateColumns();

// ParseTagFile's row check for the gateway: the value columns (none on a
// bit tag), and count turned from values into the words the driver is
// asked about and the scan reads.
std::string CheckValueColumns(kivhost::Tag* tag);

// "hr", "ir", "coil", "di".
const char* SpaceName(Space space);

struct GateConfig {
    std::vector<GateTag> tags;
    std::vector<kivhost::TagFileError> errors;  // empty: the map is good
};

// The tags of a file read with GateColumns() and CheckValueColumns() into
// the gateway's tags (each tag's count in words).
GateConfig MapTags(std::vector<kivhost::Tag> tags, const std::string& fileName, const std::string& prefix);

// For --plan: the blocks, the Modbus map and the topics.
std::string GatePlanText(const std::vector<GateTag>& tags, const kivhost::ReadPlan& plan, int maxGap,
                         const kivhost::LineOptions& line);

// The driver's tags of the gateway's, for the planner and the engine.
std::vector<kivhost::Tag> ScanTags(const std::vector<GateTag>& tags);

}  // namespace kivgate

#endif  // KIVGATE_GATE_CONFIG_H
