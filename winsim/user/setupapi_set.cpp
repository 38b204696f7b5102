#include "winsim/user/setupapi_set.h"

#include <map>

#include "winsim/kernel/pnp_text.h"

namespace winsim {
namespace {

// DEVINST numbers: one per device instance path for the process's lifetime.
DWORD DevInstOf(const std::u16string &instancePath) {
  static std::mutex lock;
  static std::map<std::u16string, DWORD> numbers;
  std::lock_guard<std::mutex> guard(lock);
  auto [it, added] = numbers.emplace(pnp::Upcase(instancePath), static_cast<DWORD>(numbers.size() + 1));
  return it->second;
}

}  // namespace

size_t DeviceInfoSet::AddDevice(const std::u16string &instancePath, const GUID &classGuid) {
  std::lock_guard<std::mutex> guard(m_lock);
  const std::u16string key = pnp::Upcase(instancePath);
  for (size_t i = 0; i < m_devices.size(); ++i) {
    if (pnp::Upcase(m_devices[i].instancePath) == key) return i;
  }
  m_devices.push_back(SetDevice{instancePath, classGuid, DevInstOf(instancePath)});
  return m_devices.size() - 1;
}

size_t DeviceInfoSet::AddInterface(const DeviceInterfaceInfo &info, const GUID &deviceClass) {
  std::optional<size_t> existing = FindInterface(info.symbolicLink);
  if (existing) return *existing;
  const size_t device = AddDevice(info.instancePath, deviceClass);
  std::lock_guard<std::mutex> guard(m_lock);
  m_interfaces.push_back(SetInterface{info, device});
  return m_interfaces.size() - 1;
}

std::optional<SetDevice> DeviceInfoSet::Device(size_t index) const {
  std::lock_guard<std::mutex> guard(m_lock);
  if (index >= m_devices.size()) return std::nullopt;
  return m_devices[index];
}

std::optional<SetInterface> DeviceInfoSet::Interface(size_t index) const {
  std::lock_guard<std::mutex> guard(m_lock);
  if (index >= m_interfaces.size()) return std::nullopt;
  return m_interfaces[index];
}

std::optional<size_t> DeviceInfoSet::FindInterface(const std::u16string &symbolicLink) const {
  std::lock_guard<std::mutex> guard(m_lock);
  const std::u16string key = pnp::Upcase(symbolicLink);
  for (size_t i = 0; i < m_interfaces.size(); ++i) {
    if (pnp::Upcase(m_interfaces[i].info.symbolicLink) == key) return i;
  }
  return std::nullopt;
}

std::vector<size_t> DeviceInfoSet::InterfacesOf(const GUID &interfaceClass, std::optional<size_t> device) const {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<size_t> found;
  for (size_t i = 0; i < m_interfaces.size(); ++i) {
    if (m_interfaces[i].info.classGuid != interfaceClass) continue;
    if (device && m_interfaces[i].device != *device) continue;
    found.push_back(i);
  }
  return found;
}

std::shared_ptr<DeviceInfoSet> LookupDeviceInfoSet(HDEVINFO set) {
  return HandleTable::Instance().LookupAs<DeviceInfoSet>(static_cast<HANDLE>(set));
}

GUID DeviceSetupClass(const std::u16string &instancePath) {
  PnpManager *manager = PnpManager::Active();
  if (manager == nullptr) return GUID{};
  const std::u16string key = pnp::Upcase(instancePath);
  for (const DeviceNodeInfo &node : manager->Devices()) {
    if (pnp::Upcase(node.instancePath) == key) return node.classGuid;
  }
  return GUID{};
}

DWORD CheckDeviceData(const DeviceInfoSet &set, const SP_DEVINFO_DATA *data, size_t *index) {
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) return ERROR_INVALID_USER_BUFFER;
  if (data->Reserved == 0 || !set.Device(data->Reserved - 1)) return ERROR_INVALID_PARAMETER;
  *index = data->Reserved - 1;
  return ERROR_SUCCESS;
}

DWORD CheckInterfaceData(const DeviceInfoSet &set, const SP_DEVICE_INTERFACE_DATA *data, size_t *index) {
  if (data == nullptr) return ERROR_INVALID_PARAMETER;
  if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return ERROR_INVALID_USER_BUFFER;
  if (data->Reserved == 0 || !set.Interface(data->Reserved - 1)) return ERROR_INVALID_PARAMETER;
  *index = data->Reserved - 1;
  return ERROR_SUCCESS;
}

void FillDeviceData(const DeviceInfoSet &set, size_t index, SP_DEVINFO_DATA *data) {
  std::optional<SetDevice> device = set.Device(index);
  data->ClassGuid = device->classGuid;
  data->DevInst = device->devInst;
  data->Reserved = index + 1;
}

void FillInterfaceData(const DeviceInfoSet &set, size_t index, SP_DEVICE_INTERFACE_DATA *data) {
  std::optional<SetInterface> element = set.Interface(index);
  // Active: enabled now (the set keeps what it saw when the interface was added).
  bool active = false;
  if (PnpManager *manager = PnpManager::Active()) {
    for (const DeviceInterfaceInfo &info : manager->Interfaces(&element->info.classGuid, true)) {
      if (pnp::Upcase(info.symbolicLink) == pnp::Upcase(element->info.symbolicLink)) active = true;
    }
  }
  data->InterfaceClassGuid = element->info.classGuid;
  data->Flags = active ? SPINT_ACTIVE : 0;
  data->Reserved = index + 1;
}

}  // namespace winsim
