// The USB 2.0 standard requests a simulated device answers on its default
// pipe: descriptors (with wLength truncation), configuration and alternate
// settings, status and endpoint halt. Requests that need a configuration
// stall before SET_CONFIGURATION; anything unsupported stalls.
#pragma once
#include <cstdint>

#include "winsim/devices/configuration_state.h"
#include "winsim/devices/device_definition.h"
#include "winsim/devices/device_faults.h"
#include "winsim/usb/usb_function.h"

namespace winsim::devices {

struct StandardContext {
  const DescriptorSet &descriptors;
  const InterfaceLayout &layout;
  ConfigurationState &state;
  FaultInjector &faults;
};

// What an accepted request changed that the audio engine must follow.
struct StandardEffect {
  enum class Kind : uint8_t { None, Configured, Deconfigured, AlternateSelected };
  Kind kind = Kind::None;
  uint8_t interface = 0;
  uint8_t alternate = 0;
};

usb::TransferOutcome HandleStandardRequest(const usb::SetupPacket &setup, uint8_t *data, StandardContext &context,
                                           StandardEffect &effect);

}  // namespace winsim::devices
