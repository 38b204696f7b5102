// What the test machines share: options that echo the machine log when
// QAV_ECHO_LOG is set, a catalog model looked up by name, and the hardware
// id a catalog device enumerates with (what the driver is installed for).
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "winsim/devices/catalog.h"
#include "winsim/machine.h"

namespace testsupport {

inline winsim::MachineOptions EchoingMachineOptions() {
  winsim::MachineOptions options;
  options.echoLog = std::getenv("QAV_ECHO_LOG") != nullptr;
  return options;
}

// A name the catalog lacks is a broken test: it fails and stops there.
inline const winsim::devices::DeviceModel &CatalogModel(const char *name) {
  const winsim::devices::DeviceModel *model = winsim::devices::FindModel(name);
  if (model == nullptr) {
    ADD_FAILURE() << "no catalog model " << name;
    std::abort();
  }
  return *model;
}

inline std::u16string HardwareId(const winsim::devices::DeviceModel &model) {
  char text[32];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", model.vendorId, model.productId);
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

}  // namespace testsupport
