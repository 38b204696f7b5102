// Writes the control traffic of a device's enumeration into a bus capture,
// as a host would produce it: device, configuration and string descriptors,
// SET_CONFIGURATION, then the clock requests a USB Audio Class 2.0 driver
// sends (sampling frequency CUR and RANGE, validity, selector). The answers
// are the device's descriptors and its clocks' start state, so a capture
// shows what the device presents before any streaming starts.
#pragma once
#include <cstdint>

#include "winsim/devices/device_definition.h"
#include "winsim/usb/pcap_writer.h"

namespace winsim::devices {

struct EnumerationCaptureOptions {
  uint16_t bus = 1;
  uint8_t address = 1;
  int64_t startTime = 0;           // 100 ns units
  int64_t stepTime = 10'000;       // between transfers: 1 ms
  uint64_t firstUrbId = 0xFFFF888000010000ull;
  bool clockRequests = true;
};

usb::PcapStatus CaptureEnumeration(usb::PcapWriter &writer, const DeviceDefinition &device,
                                   const EnumerationCaptureOptions &options = {});

}  // namespace winsim::devices
