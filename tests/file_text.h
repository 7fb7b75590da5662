// A file's whole content, as bytes ("" when it cannot be read).
#ifndef DAVODEV_TESTS_FILE_TEXT_H
#define DAVODEV_TESTS_FILE_TEXT_H

#include <fstream>
#include <sstream>
#include <string>

inline std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

#endif  // DAVODEV_TESTS_FILE_TEXT_H
