// A simulated device as the runtime serves it: the bytes it answers
// GET_DESCRIPTOR with, and the model whose behaviour it simulates.
#pragma once
#include <cstdint>
#include <map>
#include <vector>

#include "winsim/devices/device_model.h"

namespace winsim::devices {

struct DescriptorSet {
  std::vector<uint8_t> device;         // 18 bytes
  std::vector<uint8_t> configuration;  // wTotalLength bytes
  std::map<uint8_t, std::vector<uint8_t>> strings;  // index -> whole string descriptor; 0 = language list

  // Null when the device has no string with that index.
  const std::vector<uint8_t> *String(uint8_t index) const {
    auto found = strings.find(index);
    return found == strings.end() ? nullptr : &found->second;
  }
};

// For a catalog or hand-written model the descriptors are built from it; for
// a device made from captured bytes the bytes are served as captured and the
// model is what could be inferred from them.
struct DeviceDefinition {
  DeviceModel model;
  DescriptorSet descriptors;
  bool fromRawBytes = false;
};

}  // namespace winsim::devices
