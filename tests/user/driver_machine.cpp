#include "driver_machine.h"

#include <gtest/gtest.h>

#include "support/catalog_machine.h"
#include "winsim/devices/audio_device.h"
#include "winsim/devices/descriptor_builder.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace usertest {
namespace {

using testsupport::CatalogModel;

std::u16string HardwareId(const char *name) { return testsupport::HardwareId(CatalogModel(name)); }

}  // namespace

DriverMachine::DriverMachine(const std::vector<const char *> &models) : machine(testsupport::EchoingMachineOptions()) {
  std::vector<std::u16string> ids;
  for (const char *name : models) ids.push_back(HardwareId(name));
  machine.InstallDriver(u"QavAudio", DriverEntry, ids);
}

DriverMachine::~DriverMachine() {
  while (!m_plugged.empty()) Unplug(m_plugged.back().first);
}

PDEVICE_OBJECT DriverMachine::Plug(const char *model) {
  auto built = winsim::devices::BuildDevice(CatalogModel(model));
  EXPECT_TRUE(built.Ok()) << model << ": " << built.detail;
  auto handle = machine.PlugDevice(std::make_shared<winsim::devices::AudioDevice>(built.definition));
  machine.Pnp().WaitIdle();
  for (const auto &info : machine.UsbDevices()) {
    if (info.handle == handle) {
      m_plugged.emplace_back(info.pdo, handle);
      return info.pdo;
    }
  }
  ADD_FAILURE() << model << " has no PDO";
  return nullptr;
}

void DriverMachine::Unplug(PDEVICE_OBJECT pdo, bool surprise) {
  for (auto it = m_plugged.begin(); it != m_plugged.end(); ++it) {
    if (it->first != pdo) continue;
    machine.UnplugDevice(it->second, surprise);
    machine.Pnp().WaitIdle();
    m_plugged.erase(it);
    return;
  }
}

std::string DriverMachine::Description(PDEVICE_OBJECT pdo) {
  auto node = machine.Pnp().Device(pdo);
  std::string text;
  if (node) {
    for (char16_t c : node->description) text.push_back(static_cast<char>(c));
  }
  return text;
}

}  // namespace usertest
