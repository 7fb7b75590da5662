// A shell command's standard output, and its exit status (-1 when it did
// not exit).
#ifndef DAVODEV_TESTS_COMMAND_OUTPUT_H
#define DAVODEV_TESTS_COMMAND_OUTPUT_H

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

inline std::string RunCommand(const std::string& command, int* status)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    std::array<char, 4096> buffer{};
    while (pipe != nullptr && fgets(buffer.data(), buffer.size(), pipe) != nullptr)
        out += buffer.data();
    const int raw = pipe != nullptr ? pclose(pipe) : -1;
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

#endif  // DAVODEV_TESTS_COMMAND_OUTPUT_H
