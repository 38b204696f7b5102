#include "filter_machine.h"

#include <cctype>

#include "support/catalog_machine.h"
#include "uac2common/uac2private.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/user/device_paths.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

namespace asiofiltertest {
namespace {

using testsupport::HardwareId;

}  // namespace

bool SamePath(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

FilterMachineTest::FilterMachineTest() : machine(testsupport::EchoingMachineOptions()) {
  std::vector<std::u16string> ids;
  for (const auto *models : {&winsim::devices::Catalog(), &winsim::devices::Variants()}) {
    for (const auto &model : *models) ids.push_back(HardwareId(model));
  }
  machine.InstallDriver(u"QavAudio", DriverEntry, ids);
}

void FilterMachineTest::TearDown() {
  lists.clear();
  while (!plugged.empty()) Unplug(plugged.back().get());
}

PluggedDevice *FilterMachineTest::Plug(const char *name) {
  const winsim::devices::DeviceModel *model = winsim::devices::FindModel(name);
  if (model == nullptr) {
    ADD_FAILURE() << "no catalog model " << name;
    return nullptr;
  }
  auto built = winsim::devices::BuildDevice(*model);
  if (!built.Ok()) {
    ADD_FAILURE() << name << ": " << built.detail;
    return nullptr;
  }
  auto entry = std::make_unique<PluggedDevice>();
  entry->model = name;
  entry->device = std::make_shared<winsim::devices::AudioDevice>(built.definition);
  entry->handle = machine.PlugDevice(entry->device);
  machine.Pnp().WaitIdle();
  for (const auto &info : machine.UsbDevices()) {
    if (info.handle == entry->handle) entry->pdo = info.pdo;
  }
  if (entry->pdo == nullptr) {
    ADD_FAILURE() << name << " has no PDO";
    return nullptr;
  }
  plugged.push_back(std::move(entry));
  return plugged.back().get();
}

void FilterMachineTest::Unplug(PluggedDevice *device, bool surprise) {
  for (auto it = plugged.begin(); it != plugged.end(); ++it) {
    if (it->get() != device) continue;
    machine.UnplugDevice(device->handle, surprise);
    machine.Pnp().WaitIdle();
    plugged.erase(it);
    return;
  }
}

std::unique_ptr<CQZAudioFilterList> FilterMachineTest::Enumerate() {
  auto list = std::make_unique<CQZAudioFilterList>();
  list->EnumerateDevices();
  return list;
}

std::string FilterMachineTest::ClientPath(const PluggedDevice &device) {
  for (const auto &info : machine.Pnp().Interfaces(&GUID_DEVINTERFACE_UacClient, true)) {
    if (info.pdo == device.pdo) return winsim::UserInterfacePath(info);
  }
  return {};
}

CQZAudioFilter *FilterMachineTest::FilterOf(const CQZAudioFilterList &list, const PluggedDevice &device) {
  const std::string path = ClientPath(device);
  for (size_t i = 0; i < list.GetFilterCount(); ++i) {
    if (SamePath(list.GetFilter(i)->GetFilterName(), path)) return list.GetFilter(i);
  }
  return nullptr;
}

CQZAudioFilter *FilterMachineTest::PlugAndOpen(const char *model) {
  PluggedDevice *device = Plug(model);
  if (device == nullptr) return nullptr;
  lists.push_back(Enumerate());
  CQZAudioFilter *filter = FilterOf(*lists.back(), *device);
  EXPECT_NE(filter, nullptr) << model << " was not opened";
  return filter;
}

}  // namespace asiofiltertest
