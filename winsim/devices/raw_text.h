// A plain-text form of captured descriptors, so a user can describe their
// own interface to the simulator:
//
//   # comment
//   device 12 01 00 02 ef 02 01 40 ...
//   configuration 09 02 ...        (repeated lines append)
//   string 2 1c 03 54 00 ...       (index, then the whole string descriptor)
//   rates 44100 48000 96000        (optional)
//
// Bytes are hexadecimal, one or two digits each, separated by blanks.
#pragma once
#include <string>
#include <string_view>

#include "winsim/devices/raw_model.h"

namespace winsim::devices {

struct RawTextResult {
  bool ok = false;
  std::string error;  // "line N: what"
  RawDescriptors raw;
  std::vector<uint32_t> rates;
};

RawTextResult ParseRawDescriptorText(std::string_view text);

// Reads and parses a file; a file that cannot be read is an error.
RawTextResult LoadRawDescriptorFile(const std::string &path);

}  // namespace winsim::devices
