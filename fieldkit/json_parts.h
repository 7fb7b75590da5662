// Parts of the documents kivhost's commands write for scripts.
#ifndef DAVODEV_FIELDKIT_JSON_PARTS_H
#define DAVODEV_FIELDKIT_JSON_PARTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "common/json_object.h"
#include "host_api/davodev.h"

namespace kivhost {

// A driver call's "result" and "status".
JsonObject& ResultJson(JsonObject& json, int32_t result);
// The fields of a driver address.
JsonObject AddressJson(const DriverAddress& address);

}  // namespace kivhost

#endif  // DAVODEV_FIELDKIT_JSON_PARTS_H
