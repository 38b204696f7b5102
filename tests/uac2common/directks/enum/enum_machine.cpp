#include "enum_machine.h"

#include <gtest/gtest.h>

#include "support/catalog_machine.h"
#include "uac2common/uac2private.h"
#include "winsim/devices/audio_device.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/kernel/registry_store.h"
#include "winsim/user/device_paths.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace enumtest {
namespace {

using testsupport::CatalogModel;

std::u16string HardwareId(const char *name) { return testsupport::HardwareId(CatalogModel(name)); }

// The device's enabled client interface under the filter's reference string.
std::u16string ClientLink(winsim::PnpManager &pnp, PDEVICE_OBJECT pdo) {
  for (const auto &info : pnp.Interfaces(&GUID_DEVINTERFACE_UacClient, true)) {
    if (info.pdo == pdo && info.referenceString == u"GLOBAL") return info.symbolicLink;
  }
  return {};
}

std::u16string AddClientInterface(winsim::PnpManager &pnp, PDEVICE_OBJECT pdo, const std::u16string &reference) {
  std::u16string link;
  EXPECT_EQ(pnp.RegisterInterface(pdo, GUID_DEVINTERFACE_UacClient, reference, &link), STATUS_SUCCESS);
  EXPECT_EQ(pnp.SetInterfaceState(link, true), STATUS_SUCCESS);
  return link;
}

void ProvideClientInterfaces(winsim::PnpManager &pnp, PDEVICE_OBJECT pdo, const ClientInterface &client) {
  std::u16string link = ClientLink(pnp, pdo);
  if (link.empty()) link = AddClientInterface(pnp, pdo, u"GLOBAL");
  if (client.friendlyName) {
    const std::u16string key = pnp.InterfaceKeyPath(link) + u"\\Device Parameters";
    EXPECT_EQ(winsim::SystemRegistry().WriteValue(key, u"FriendlyName", winsim::RegValue::String(*client.friendlyName)),
              STATUS_SUCCESS);
  }
  if (client.strayReference) AddClientInterface(pnp, pdo, *client.strayReference);
}

}  // namespace

EnumMachine::EnumMachine(const std::vector<const char *> &models) : machine(testsupport::EchoingMachineOptions()) {
  std::vector<std::u16string> ids;
  for (const char *name : models) ids.push_back(HardwareId(name));
  machine.InstallDriver(u"QavAudio", DriverEntry, ids);
}

EnumMachine::~EnumMachine() {
  while (!m_plugged.empty()) Unplug(m_plugged.back().first);
}

PDEVICE_OBJECT EnumMachine::Plug(const char *model, const ClientInterface &client) {
  auto built = winsim::devices::BuildDevice(CatalogModel(model));
  EXPECT_TRUE(built.Ok()) << model << ": " << built.detail;
  auto handle = machine.PlugDevice(std::make_shared<winsim::devices::AudioDevice>(built.definition));
  machine.Pnp().WaitIdle();
  PDEVICE_OBJECT pdo = nullptr;
  for (const auto &info : machine.UsbDevices()) {
    if (info.handle == handle) pdo = info.pdo;
  }
  if (pdo == nullptr) {
    ADD_FAILURE() << model << " has no PDO";
    return nullptr;
  }
  m_plugged.emplace_back(pdo, handle);
  ProvideClientInterfaces(machine.Pnp(), pdo, client);
  return pdo;
}

void EnumMachine::Unplug(PDEVICE_OBJECT pdo, bool surprise) {
  for (auto it = m_plugged.begin(); it != m_plugged.end(); ++it) {
    if (it->first != pdo) continue;
    machine.UnplugDevice(it->second, surprise);
    machine.Pnp().WaitIdle();
    m_plugged.erase(it);
    return;
  }
}

std::string EnumMachine::Description(PDEVICE_OBJECT pdo) {
  auto node = machine.Pnp().Device(pdo);
  std::string text;
  if (node) {
    for (char16_t c : node->description) text.push_back(static_cast<char>(c));
  }
  return text;
}

std::u16string EnumMachine::ClientKey(PDEVICE_OBJECT pdo) {
  return machine.Pnp().InterfaceKeyPath(ClientLink(machine.Pnp(), pdo)) + u"\\Device Parameters";
}

std::string EnumMachine::Path(PDEVICE_OBJECT pdo, const GUID &interfaceClass) {
  for (const auto &info : machine.Pnp().Interfaces(&interfaceClass, true)) {
    if (info.pdo == pdo) return winsim::UserInterfacePath(info);
  }
  return {};
}

}  // namespace enumtest
