// A Machine with QavAudio installed and one catalog interface plugged in, on
// which the test thread is the user-mode client: it opens the driver's
// filter by its interface path, as the deliverables do.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "uac2common/directks/directks.h"
#include "winsim/devices/audio_device.h"
#include "winsim/machine.h"

namespace kslibtest {

class DriverMachineTest : public ::testing::Test {
 protected:
  void TearDown() override;

  // Installs the driver for the model's ids, plugs it and waits until the
  // plug-and-play manager is done with it.
  void Plug(const char *model);
  void Unplug();
  // The lower-case interface path of the plugged device's filter under the
  // category (the driver's private category by default); empty if none.
  std::string FilterPath(const GUID &category);
  std::string FilterPath();

  winsim::Machine machine{Options()};
  std::shared_ptr<winsim::devices::AudioDevice> device;
  winsim::usb::UsbDeviceHandle handle;
  PDEVICE_OBJECT pdo = nullptr;

 private:
  static winsim::MachineOptions Options();
  bool m_installed = false;
};

}  // namespace kslibtest
