// A file read whole for a tool, up to a limit: a folder, a device that never
// ends or a file the system will not read gives a reason, never an abort or
// memory without bound.
#ifndef DAVODEV_KIVHOST_BOUNDED_FILE_H
#define DAVODEV_KIVHOST_BOUNDED_FILE_H

#include <cstddef>
#include <string>

namespace kivhost {

enum class FileRead {
    Done,
    TooLarge,  // more than maxBytes: content holds what was read, why is empty
    Failed,    // why says why, as the system words it ("it is a folder" for one)
};

enum class FileKinds {
    Any,          // a pipe or a device is read as it comes (kivhost, for a user's <(...))
    RegularOnly,  // anything else is refused at once: a service never waits on a FIFO nobody writes
};

FileRead ReadFileUpTo(const std::string& path, size_t maxBytes, std::string* content, std::string* why,
                      FileKinds kinds = FileKinds::Any);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_BOUNDED_FILE_H
