// Parts of the documents kivhost's commands write for scripts.
#ifndef DAVODEV_KIVHOST_JSON_PARTS_H
#define DAVODEV_KIVHOST_JSON_PARTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "davodev.h"
#include "json_object.h"

namespace kivhost {

// A driver call's "result" and "status".
JsonObject& ResultJson(JsonObject& json, int32_t result);
// The fields of a driver address.
std::string AddressJson(const DriverAddress& address);

}  // namespace kivhost

#endif  // DAVODEV_KIVHOST_JSON_PARTS_H
