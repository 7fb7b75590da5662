// The Windows backend's translation between the layer's line configuration
// and the DCB of the serial services. Pure, so that every field can be
// checked without a port.
#ifndef DAVODEV_SERIAL_WIN_DCB_H
#define DAVODEV_SERIAL_WIN_DCB_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "serial/serial_platform.h"

namespace kiv {

// The configuration a DCB holds; the DCB itself is kept whole in native.
void LineConfigFromDcb(const DCB& dcb, LineConfig* config);

// The DCB to write: the one kept in config.native, with the fields the
// layer names taken from config and everything else (XON/XOFF limits and
// characters, continue-on-XOFF, ...) as it was read.
void DcbFromLineConfig(const LineConfig& config, DCB* dcb);

}  // namespace kiv

#endif  // DAVODEV_SERIAL_WIN_DCB_H
