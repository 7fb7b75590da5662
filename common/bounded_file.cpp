#include "common/bounded_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace kivhost {
namespace {

std::string SystemWhy(int error)
{
    if (error == EISDIR)
        return "it is a folder";
    return error != 0 ? std::strerror(error) : "the system gives no reason";
}

}  // namespace

FileRead ReadFileUpTo(const std::string& path, size_t maxBytes, std::string* content, std::string* why, FileKinds kinds)
{
    content->clear();
    why->clear();
    // Some systems open a folder as a file and fail only on reading it.
    std::error_code ignored;
    const std::filesystem::file_status status = std::filesystem::status(path, ignored);
    if (std::filesystem::is_directory(status)) {
        *why = SystemWhy(EISDIR);
        return FileRead::Failed;
    }
    // Judged before the open: opening a FIFO waits for its writer.
    if (kinds == FileKinds::RegularOnly && std::filesystem::exists(status) &&
        !std::filesystem::is_regular_file(status)) {
        *why = "not a regular file";
        return FileRead::Failed;
    }
    errno = 0;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *why = SystemWhy(errno);
        return FileRead::Failed;
    }
    FileRead result = FileRead::Done;
    char buffer[64 * 1024];
    for (;;) {
        errno = 0;
        const size_t got = std::fread(buffer, 1, sizeof buffer, file);
        const int error = errno;
        content->append(buffer, got);
        if (content->size() > maxBytes) {
            result = FileRead::TooLarge;  // /dev/zero, or a log given for a tag file
            break;
        }
        if (got < sizeof buffer) {
            if (std::ferror(file)) {
                *why = SystemWhy(error);
                result = FileRead::Failed;
            }
            break;
        }
    }
    std::fclose(file);
    return result;
}

}  // namespace kivhost
