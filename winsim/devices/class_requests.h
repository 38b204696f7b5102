// USB Audio Class 2.0 requests to the AudioControl interface (wIndex =
// entity << 8 | interface, wValue = control selector << 8 | channel): clock
// source sampling frequency (CUR, RANGE) and validity, clock selector input,
// feature unit mute and volume. Everything else stalls, as do requests
// before the device is configured.
#pragma once
#include <cstdint>

#include "winsim/devices/clock_tree.h"
#include "winsim/devices/configuration_state.h"
#include "winsim/devices/feature_units.h"
#include "winsim/usb/usb_function.h"

namespace winsim::devices {

struct ClassContext {
  const InterfaceLayout &layout;
  const ConfigurationState &state;
  ClockTree &clocks;
  FeatureUnits &features;
  uint8_t settlingClock = 0;  // a clock whose validity reads 0 while it settles; 0: none
};

usb::TransferOutcome HandleAudioControlRequest(const usb::SetupPacket &setup, uint8_t *data, ClassContext &context);

}  // namespace winsim::devices
