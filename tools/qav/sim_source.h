// What `--sim` names: a catalog model, or a file describing an interface
// (`lsusb -v` output for one device, or the raw-descriptor text format),
// turned into a simulated device. Host build only.
#pragma once
#include <string>
#include <vector>

#include "winsim/devices/device_definition.h"

namespace qav {

struct SimSource {
  std::string name;  // --sim's argument: a model name or a path
  bool asFamily = false;  // serve it under the family's vendor id
};

struct SimDevice {
  bool ok = false;
  std::string error;  // one line, "FILE: line N: what" for files
  winsim::devices::DeviceDefinition definition;
  std::vector<std::string> notes;  // what the file left out, the vendor-id change
};

SimDevice LoadSimDevice(const SimSource &source);

// The same for text already read (what LoadSimDevice does with a file's contents).
SimDevice SimDeviceFromText(const std::string &label, const std::string &text, bool asFamily);

}  // namespace qav
