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

// Models for the driver's tests, each with its own name and product id, most
// of them a catalog model changed in one respect: Aspen and Elm are Maple
// with a feedback endpoint of bInterval 1 and 3, Yew is Alder with a render
// data endpoint of bInterval 4; Willow is Alder with seventeen rate
// subranges, one continuous; Linden is Larch with fewer channels per setting
// at higher rates (20/16/12); Poplar is an ADAT port (8/4/2 channels); Holly
// is Rowan with a vendor and a run-time DFU interface outside the audio
// function's association. Not part of Catalog().
const std::vector<DeviceModel> &Variants();

// Case-insensitive lookup by DeviceModel::name, in the catalog and its
// variants; null when unknown.
const DeviceModel *FindModel(std::string_view name);

// The model the demo plugs when none is named.
std::string_view DefaultModelName();

}  // namespace winsim::devices
