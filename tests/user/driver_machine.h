// A Machine with QavAudio installed for a few catalog models, on which tests
// plug and unplug interfaces and look at them from user mode.
#pragma once
#include <windows.h>
#include <wdm.h>

#include <string>
#include <vector>

#include "winsim/machine.h"

namespace usertest {

class DriverMachine {
 public:
  explicit DriverMachine(const std::vector<const char *> &models);
  ~DriverMachine();

  // Plugs the model and waits until the PnP manager is done with it; the
  // device's PDO (null when it has none).
  PDEVICE_OBJECT Plug(const char *model);
  void Unplug(PDEVICE_OBJECT pdo, bool surprise = false);
  // The device description the PnP manager gave the device.
  std::string Description(PDEVICE_OBJECT pdo);

  winsim::Machine machine;

 private:
  std::vector<std::pair<PDEVICE_OBJECT, winsim::usb::UsbDeviceHandle>> m_plugged;
};

}  // namespace usertest
