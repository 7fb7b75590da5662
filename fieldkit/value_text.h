// Addresses and values as kivhost's commands and its demo show them.
#ifndef DAVODEV_FIELDKIT_VALUE_TEXT_H
#define DAVODEV_FIELDKIT_VALUE_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host_api/davodev.h"

namespace kivhost {

bool IsWordAddress(const DriverAddress& address);
std::string FormatValue(const DriverAddress& address, uint16_t value);  // 0x1234, or 0 / 1
// The values one after the other; where one more would make the line
// longer than width, " ..." instead of the rest.
std::string ValueList(const DriverAddress& address, const std::vector<uint16_t>& values, size_t width = SIZE_MAX);
std::string BannerUtf8(const DriverInfoBlock& info);

}  // namespace kivhost

#endif  // DAVODEV_FIELDKIT_VALUE_TEXT_H
