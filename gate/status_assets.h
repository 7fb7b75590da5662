// The status page and its chart library, built into kivgate: the page
// needs nothing from outside the gateway, as on a plant network without
// the internet.
#ifndef KIVGATE_STATUS_ASSETS_H
#define KIVGATE_STATUS_ASSETS_H

#include <string_view>

namespace kivgate {

std::string_view StatusPageHtml();
// Chart.js as the system's package installs it.
std::string_view ChartJs();

}  // namespace kivgate

#endif  // KIVGATE_STATUS_ASSETS_H
