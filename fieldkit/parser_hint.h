// Why the driver's address parser refused a request, found by asking the
// parser itself about variants of it: kivhost keeps no copy of its rules.
#ifndef DAVODEV_FIELDKIT_PARSER_HINT_H
#define DAVODEV_FIELDKIT_PARSER_HINT_H

#include <cstdint>
#include <functional>
#include <string>

#include "host_api/davodev.h"

namespace kivhost {

// One call of SingleAddressParser (block false) or BlockAddressParser with
// these fields, its log lines neither kept nor shown.
using AddressParser = std::function<int32_t(const std::string& text, bool block, uint32_t tagType, int32_t count,
                                            DriverAddress* address)>;

// Why parse refuses text with this parser, tag type and count, and what to
// try instead.
std::string RejectionHint(const AddressParser& parse, const std::string& text, bool block, uint32_t tagType,
                          int32_t count);

}  // namespace kivhost

#endif  // DAVODEV_FIELDKIT_PARSER_HINT_H
