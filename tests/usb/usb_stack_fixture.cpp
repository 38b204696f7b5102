#include "usb_stack_fixture.h"

#include "winsim/kernel/io_driver.h"
#include "winsim/usb/usb_bus.h"

namespace usbtest {

void UsbStackTest::SetUp() {
  // These tests build and tear down the stacks themselves: the machine's
  // plug-and-play manager must not act on the devices too.
  machine.SetUsbDeviceListener(nullptr);
  // Frames on the system clock's millisecond, so times follow from frames.
  for (uint32_t n = 1; machine.Bus(n) != nullptr; ++n) machine.Bus(n)->Controller().SetSofOffsetPpm(0);
  driver = LoadFunctionDriver();
  ASSERT_NE(driver, nullptr);
  device = std::make_shared<FakeDevice>(BuildModel("Larch"));
  stack = PlugWithStack(device, 1, &handle);
}

void UsbStackTest::TearDown() {
  for (auto &extra : extraStacks) extra.reset();
  stack.reset();
  machine.UnplugDevice(handle, false);
  for (const auto &extra : extraDevices) machine.UnplugDevice(extra, false);
  if (!::testing::Test::HasFailure()) winsim::UnloadDriver(driver);
}

std::unique_ptr<FunctionStack> UsbStackTest::PlugWithStack(std::shared_ptr<FakeDevice> plugged, uint32_t bus,
                                                           winsim::usb::UsbDeviceHandle *plugHandle) {
  *plugHandle = machine.PlugDevice(std::move(plugged), bus);
  EXPECT_TRUE(plugHandle->Valid());
  winsim::usb::UsbPdo *pdo = machine.Bus(bus)->Pdo(plugHandle->port);
  return std::make_unique<FunctionStack>(driver, pdo->Device());
}

NTSTATUS UsbStackTest::SelectConfiguration(std::vector<uint8_t> descriptor) {
  if (descriptor.empty()) descriptor = device->Definition().descriptors.configuration;
  auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor.data());
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  for (LONG number = 0; number < config->bNumInterfaces; ++number) {
    list.push_back({USBD_ParseConfigurationDescriptorEx(config, config, number, 0, -1, -1, -1), nullptr});
  }
  list.push_back({nullptr, nullptr});
  PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
  NTSTATUS status = stack->SubmitUrb(urb);
  if (NT_SUCCESS(status)) {
    configuration = urb->UrbSelectConfiguration.ConfigurationHandle;
    for (const USBD_INTERFACE_LIST_ENTRY &entry : list) {
      if (entry.Interface == nullptr) continue;
      PUSBD_PIPE_INFORMATION infos = entry.Interface->Pipes;
      for (ULONG i = 0; i < entry.Interface->NumberOfPipes; ++i) pipes[infos[i].EndpointAddress] = infos[i];
    }
  }
  ExFreePool(urb);
  return status;
}

USBD_PIPE_HANDLE UsbStackTest::Pipe(uint8_t endpoint) const {
  auto it = pipes.find(endpoint);
  return it == pipes.end() ? nullptr : it->second.PipeHandle;
}

NTSTATUS UsbStackTest::SelectInterface(UCHAR number, UCHAR alternate, UrbBuffer *urbOut) {
  auto &bytes = device->Definition().descriptors.configuration;
  auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<uint8_t *>(bytes.data()));
  PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(config, config, number, alternate, -1, -1, -1);
  UrbBuffer urb = SelectInterfaceUrb(configuration, number, alternate, descriptor ? descriptor->bNumEndpoints : 0);
  NTSTATUS status = stack->SubmitUrb(urb.get());
  if (NT_SUCCESS(status)) {
    PUSBD_PIPE_INFORMATION infos = urb->UrbSelectInterface.Interface.Pipes;
    for (ULONG i = 0; i < urb->UrbSelectInterface.Interface.NumberOfPipes; ++i) pipes[infos[i].EndpointAddress] = infos[i];
  }
  if (urbOut != nullptr) *urbOut = std::move(urb);
  return status;
}

bool UsbStackTest::RunUntilDone(const AsyncUrb &urb, VTime timeout) {
  return machine.RunUntil([&] { return urb.Done(); }, timeout);
}

}  // namespace usbtest
