// The text `lsusb -v` prints for one device, turned back into the
// descriptor bytes the device sent. Every descriptor is rebuilt from the
// fields lsusb prints, in order, each field as wide as its name's prefix says
// (b 1 byte, w 2, dw 4, bcd 2, i 1, id 2, bm and bma as many bytes as the hex
// digits printed), and must come out exactly bLength long; the configuration
// must come out wTotalLength long. Descriptors lsusb cannot decode are taken
// from the hex dumps it prints for them.
//
// What lsusb could not show (strings it could not read, report descriptors
// marked unavailable, the language list, other configurations) is not
// invented: it is left out and said in a note. Input is untrusted: anything
// that does not fit is refused with the number of the line at fault.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "winsim/devices/raw_model.h"

namespace winsim::devices {

struct LsusbTextResult {
  bool ok = false;
  std::string error;               // "line N: what"
  RawDescriptors raw;              // complete only when ok
  std::vector<std::string> notes;  // one line each: what the dump left out and how it was handled
};

LsusbTextResult ParseLsusbText(std::string_view text);

// True when the text looks like lsusb output (it has a "Device Descriptor:"
// line), as opposed to the raw-descriptor text format.
bool LooksLikeLsusbText(std::string_view text);

}  // namespace winsim::devices
