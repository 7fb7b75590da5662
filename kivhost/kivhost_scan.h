// kivhost's field commands: scan, a tag list read cycle after cycle in
// planned blocks, and stations, a survey of who answers on a line.
#ifndef DAVODEV_KIVHOST_SCAN_H
#define DAVODEV_KIVHOST_SCAN_H

#include <string>
#include <vector>

#include "kivhost_commands.h"
#include "scan_line.h"
#include "scan_options.h"
#include "tag_list.h"

namespace kivhost {

int RunScan(Context& context);
int RunStations(Context& context);

// The tags of a file, every row checked by the driver's parser, on a
// channel started without its port (StartChannel). EXIT_DONE, or the status
// to leave with, every bad row told on standard error and the driver ended.
int LoadTagFile(Context& context, const std::string& path, std::vector<Tag>* tags);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_SCAN_H
