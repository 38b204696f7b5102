// A Machine with QavAudio installed for the catalog family, on which tests
// plug one or more interfaces (each with the client interface the
// installation provides, optionally named) and drive a QZUsb2Asio object
// from the test thread as an ASIO host does.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// winsim's headers before the COM ones: objbase.h's `interface` macro
// would rename their members.
#include "winsim/devices/audio_device.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/machine.h"
//
#include "uac2common/asiodriver/qzusb2asio.h"

namespace asiotest {

struct PlugOptions {
  // Written as the client interface's "FriendlyName".
  std::u16string friendlyName;
  // Every capture channel hears its own output channel.
  bool loopback = false;
  // Changes to the built descriptors before the device is plugged.
  std::function<void(winsim::devices::DeviceDefinition &)> edit;
};

class AsioMachineTest : public ::testing::Test {
 protected:
  AsioMachineTest();
  void TearDown() override;

  std::shared_ptr<winsim::devices::AudioDevice> Plug(const char *model, const PlugOptions &options = {});
  // Unplugs the index-th plugged device. A surprise removal does not wait
  // for the plug-and-play manager: its removal waits for the driver
  // object's handles, which TearDown closes before it waits.
  void Unplug(size_t index, bool surprise);
  size_t Plugged() const { return m_plugged.size(); }

  // A new driver object, as the class factory hands it out (one reference);
  // released by TearDown unless the test released it.
  QZUsb2Asio *NewDriver();
  void ReleaseDriver();

  winsim::Machine machine;
  QZUsb2Asio *asio = nullptr;

 private:
  struct PluggedDevice {
    std::shared_ptr<winsim::devices::AudioDevice> device;
    winsim::usb::UsbDeviceHandle handle;
  };
  std::vector<PluggedDevice> m_plugged;
};

}  // namespace asiotest
