// The named simulated interfaces: the family's models (each a different
// shape), a reference board under the controller supplier's vendor id, and a
// foreign-vendor interface the driver must refuse.
#pragma once
#include <string_view>
#include <vector>

#include "winsim/devices/device_model.h"

namespace winsim::devices {

// Every catalog model, in a fixed order. Built once; safe to call from any thread.
const std::vector<DeviceModel> &Catalog();

// Case-insensitive lookup by DeviceModel::name; null when unknown.
const DeviceModel *FindModel(std::string_view name);

// The model the demo plugs when none is named.
std::string_view DefaultModelName();

}  // namespace winsim::devices
