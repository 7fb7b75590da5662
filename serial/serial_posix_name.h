// How the Linux backend finds a device for a port name: the names Windows
// hosts use (COMn, NUL) and the ones Linux users give. kivhost looks at the
// same path before the driver opens it, to say why a port cannot be opened.
#ifndef DAVODEV_SERIAL_POSIX_NAME_H
#define DAVODEV_SERIAL_POSIX_NAME_H

#include <cstddef>

namespace kiv {

// "/abs/path" as given; "NUL" the null device; "COMn" (n >= 1, any case of
// COM) /dev/ttyS(n-1); anything else is looked for under /dev/. False when
// the name is empty or the path does not fit.
bool PosixDevicePath(const char* name, char* path, size_t size);

}  // namespace kiv

#endif  // DAVODEV_SERIAL_POSIX_NAME_H
