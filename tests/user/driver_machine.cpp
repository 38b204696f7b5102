#include "driver_machine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "winsim/devices/audio_device.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace usertest {
namespace {

winsim::MachineOptions Options() {
  winsim::MachineOptions options;
  options.echoLog = std::getenv("QAV_ECHO_LOG") != nullptr;
  return options;
}

const winsim::devices::DeviceModel &Model(const char *name) {
  const winsim::devices::DeviceModel *model = winsim::devices::FindModel(name);
  if (model == nullptr) {
    ADD_FAILURE() << "no catalog model " << name;
    std::abort();
  }
  return *model;
}

std::u16string HardwareId(const char *name) {
  char text[32];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", Model(name).vendorId, Model(name).productId);
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

}  // namespace

DriverMachine::DriverMachine(const std::vector<const char *> &models) : machine(Options()) {
  std::vector<std::u16string> ids;
  for (const char *name : models) ids.push_back(HardwareId(name));
  machine.InstallDriver(u"QavAudio", DriverEntry, ids);
}

DriverMachine::~DriverMachine() {
  while (!m_plugged.empty()) Unplug(m_plugged.back().first);
}

PDEVICE_OBJECT DriverMachine::Plug(const char *model) {
  auto built = winsim::devices::BuildDevice(Model(model));
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
