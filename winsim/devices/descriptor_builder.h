// Builds the descriptors a DeviceModel enumerates with: the device descriptor
// (composite with interface association), one configuration holding the
// USB Audio Class 2.0 function (AudioControl, AudioStreaming interfaces, MIDI
// streaming) or, in firmware-update mode, a single DFU interface, and the
// string descriptors the other two reference.
#pragma once
#include <string>

#include "winsim/devices/device_definition.h"

namespace winsim::devices {

enum class BuildError : uint8_t {
  None,
  NoClock,              // no clock source, or a clock without rates
  BadEntity,            // entity id 0, duplicated, or a reference to a missing entity
  BadStream,            // streaming interface inconsistent (channels, names, formats, endpoints)
  PacketTooLarge,       // a format's packets do not fit the endpoint at this speed
  DescriptorTooLong,    // one descriptor would exceed 255 bytes
  TooManyInterfaces,    // more than eight interfaces
  BadMidi,              // cable count or endpoints wrong
  StringTable,          // more than 255 strings, or a string too long
  ConfigurationTooLong  // more than 65535 bytes
};

const char *BuildErrorName(BuildError error);

struct BuildResult {
  BuildError error = BuildError::None;
  std::string detail;
  DeviceDefinition definition;  // complete only when error is None

  bool Ok() const { return error == BuildError::None; }
};

BuildResult BuildDevice(const DeviceModel &model);

}  // namespace winsim::devices
