#include "log_files.h"

#include <cerrno>
#include <cstring>

namespace kivhost {

void FileCloser::operator()(FILE* file) const
{
    if (file != nullptr && file != stdin)
        std::fclose(file);
}

File OpenLog(const std::string& path, std::string_view header, std::string* error)
{
    File file(std::fopen(path.c_str(), "ab"));
    if (!file) {
        *error = "cannot open " + path + " to append to: " + std::strerror(errno);
        return file;
    }
    std::fseek(file.get(), 0, SEEK_END);
    if (std::ftell(file.get()) == 0 && !header.empty())
        std::fprintf(file.get(), "%.*s\n", static_cast<int>(header.size()), header.data());
    std::fflush(file.get());
    return file;
}

}  // namespace kivhost
