// The groups the field programs' help lists their shared options under:
// the line's (program_options.h's DeclareLineOptions), the output's, and the
// rest, so that kivhost and kivgate name them alike.
#ifndef DAVODEV_FIELDKIT_HELP_GROUPS_H
#define DAVODEV_FIELDKIT_HELP_GROUPS_H

#include <string>

namespace kivhost {

inline const std::string LINE_GROUP = "Line (defaults: 9600 baud, 8N1, 1000 ms)";
inline const std::string OUTPUT_GROUP = "Output";
inline const std::string OTHER_GROUP = "Other";

}  // namespace kivhost

#endif  // DAVODEV_FIELDKIT_HELP_GROUPS_H
