// The checks a DeviceModel must pass before descriptors are built from it.
#pragma once
#include <string>

#include "winsim/devices/descriptor_builder.h"

namespace winsim::devices {

// Entity ids unique and resolvable, streams and MIDI consistent, every
// packet within the endpoint limits of the model's speed. `detail` names the
// offending item.
BuildError ValidateModel(const DeviceModel &model, std::string &detail);

// The wMaxPacketSize of the data endpoint of one format (alternate setting):
// the packet its highest rate needs, encoded for the speed. Nothing when it
// does not fit.
std::optional<uint16_t> FormatMaxPacketSize(const DeviceModel &model, const StreamingInterface &stream,
                                            const StreamFormat &format);

}  // namespace winsim::devices
