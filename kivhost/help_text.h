// kivhost's help: the program's description and footer, and the layout of
// CLI11's help, with the line and output options of the program shown in
// every command's help too, as they may be given before or after it.
#ifndef DAVODEV_KIVHOST_HELP_TEXT_H
#define DAVODEV_KIVHOST_HELP_TEXT_H

#include <string>

namespace CLI {
class App;
}

namespace kivhost {

// Its description, help option, footer and help layout; before its options
// are declared, so that the help option is listed first among them.
void DescribeProgram(CLI::App& app);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_HELP_TEXT_H
