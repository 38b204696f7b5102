#include "driver_machine.h"

#include "support/catalog_machine.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/user/device_paths.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace kslibtest {

winsim::MachineOptions DriverMachineTest::Options() { return testsupport::EchoingMachineOptions(); }

void DriverMachineTest::Plug(const char *name) {
  const winsim::devices::DeviceModel *model = winsim::devices::FindModel(name);
  ASSERT_NE(model, nullptr) << name;
  auto built = winsim::devices::BuildDevice(*model);
  ASSERT_TRUE(built.Ok()) << name << ": " << built.detail;
  if (!m_installed) {
    machine.InstallDriver(u"QavAudio", DriverEntry, {testsupport::HardwareId(*model)});
    m_installed = true;
  }
  device = std::make_shared<winsim::devices::AudioDevice>(built.definition);
  handle = machine.PlugDevice(device);
  machine.Pnp().WaitIdle();
  for (const auto &info : machine.UsbDevices()) {
    if (info.handle == handle) pdo = info.pdo;
  }
  ASSERT_NE(pdo, nullptr);
}

void DriverMachineTest::Unplug() {
  if (!handle.Valid()) return;
  machine.UnplugDevice(handle, false);
  machine.Pnp().WaitIdle();
  handle = {};
  pdo = nullptr;
}

void DriverMachineTest::TearDown() { Unplug(); }

std::string DriverMachineTest::FilterPath(const GUID &category) {
  for (const winsim::DeviceInterfaceInfo &info : machine.Pnp().Interfaces(&category, true)) {
    if (info.pdo == pdo) return winsim::UserInterfacePath(info);
  }
  return std::string();
}

std::string DriverMachineTest::FilterPath() { return FilterPath(KSCATEGORY_UacPrivate); }

}  // namespace kslibtest
