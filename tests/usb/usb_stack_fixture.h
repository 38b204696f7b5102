// A machine with the test function driver loaded and a device on a bus with
// its stack built: the fixture of the USB stack's tests.
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

#include "fake_device.h"
#include "function_stack.h"
#include "urb_builders.h"
#include "winsim/machine.h"

namespace usbtest {

// One device plugged into bus 1 with its stack built and started; the test
// stands in for the plug-and-play manager. TearDown removes the stacks,
// unplugs what is left and unloads the driver, which checks that nothing
// (pool, device objects) leaked.
class UsbStackTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Plugs a device and builds a started function stack on its PDO.
  std::unique_ptr<FunctionStack> PlugWithStack(std::shared_ptr<FakeDevice> device, uint32_t bus,
                                               winsim::usb::UsbDeviceHandle *handle);
  NTSTATUS SelectConfiguration(std::vector<uint8_t> configuration = {});
  // Pipe handles of the selected configuration, by endpoint address.
  USBD_PIPE_HANDLE Pipe(uint8_t endpoint) const;
  NTSTATUS SelectInterface(UCHAR number, UCHAR alternate, UrbBuffer *urbOut = nullptr);
  bool RunUntilDone(const AsyncUrb &urb, VTime timeout = winsim::kTicksPerSecond);

  winsim::Machine machine;
  PDRIVER_OBJECT driver = nullptr;
  std::shared_ptr<FakeDevice> device;
  winsim::usb::UsbDeviceHandle handle;
  std::unique_ptr<FunctionStack> stack;
  std::vector<std::unique_ptr<FunctionStack>> extraStacks;
  std::vector<winsim::usb::UsbDeviceHandle> extraDevices;
  USBD_CONFIGURATION_HANDLE configuration = nullptr;
  std::map<uint8_t, USBD_PIPE_INFORMATION> pipes;
};

}  // namespace usbtest
