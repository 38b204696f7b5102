// A simulated device made from descriptor bytes captured from a real
// interface: the bytes are served as captured, and the behaviour (clocks,
// streams and their formats, feedback, status interrupt, MIDI cables) is
// inferred from them. Input is untrusted; anything the walk or the inference
// cannot make sense of is refused with a ParseError.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "winsim/devices/config_walk.h"
#include "winsim/devices/device_definition.h"

namespace winsim::devices {

struct RawDescriptors {
  std::vector<uint8_t> device;
  std::vector<uint8_t> configuration;
  std::map<uint8_t, std::vector<uint8_t>> strings;  // index -> whole string descriptor
};

struct RawParseOptions {
  std::string name;             // model name; the product string when empty
  std::vector<uint32_t> rates;  // rates of every clock; 44100 and 48000 when empty
  UsbSpeed speed = UsbSpeed::High;
};

struct RawParseResult {
  ParseError error = ParseError::None;
  std::string detail;
  DeviceDefinition definition;  // complete only when error is None

  bool Ok() const { return error == ParseError::None; }
};

RawParseResult ParseRawDevice(const RawDescriptors &raw, const RawParseOptions &options = {});

}  // namespace winsim::devices
