// The driver library, loaded at run time as a host loads it.
#ifndef DAVODEV_KIVHOST_DRIVER_LIBRARY_H
#define DAVODEV_KIVHOST_DRIVER_LIBRARY_H

#include <memory>
#include <string>

#include "host_api/davodev.h"

namespace kivhost {

// The driver library to load when --lib is not given (libDAVODEV.so, DAVODEV.dll).
std::string DefaultLibraryPath();

class DriverLibrary {
public:
    // nullptr, with the reason in error, if the library or its KivMain is missing.
    static std::unique_ptr<DriverLibrary> Load(const std::string& path, std::string* error);
    ~DriverLibrary();
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    KivMainFn Entry() const { return entry_; }

private:
    DriverLibrary(void* handle, KivMainFn entry) : handle_(handle), entry_(entry) {}
    void* handle_;
    KivMainFn entry_;
};

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_DRIVER_LIBRARY_H
