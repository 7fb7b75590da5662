// How a port's name becomes the path Windows opens: COM1 to COM9 by their
// bare names, higher numbers only through the device namespace.
#ifndef DAVODEV_SERIAL_WIN_NAME_H
#define DAVODEV_SERIAL_WIN_NAME_H

#include <cstddef>

namespace kiv {

// The path to open for name, in path; false when it does not fit.
bool WindowsDevicePath(const char* name, char* path, size_t size);

}  // namespace kiv

#endif  // DAVODEV_SERIAL_WIN_NAME_H
