// SetupAPI: creating, filling, enumerating and destroying device information sets.
#include "winsim/kernel/pnp_text.h"
#include "winsim/user/setupapi_set.h"

using winsim::DeviceInfoSet;
using winsim::HandleTable;

namespace {

constexpr DWORD kClassDevsFlags = DIGCF_DEFAULT | DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;

// An enumerator names a device instance ("USB\VID_..\..") or an enumerator
// ("USB"); compared without regard to case.
bool UnderEnumerator(const std::u16string &instancePath, PCSTR enumerator) {
  if (enumerator == nullptr) return true;
  const std::u16string wanted = winsim::pnp::Upcase(std::u16string(enumerator, enumerator + strlen(enumerator)));
  const std::u16string path = winsim::pnp::Upcase(instancePath);
  return path == wanted || path.rfind(wanted + u"\\", 0) == 0;
}

void AddInterfaces(DeviceInfoSet &set, const GUID *classGuid, PCSTR enumerator, bool presentOnly) {
  winsim::PnpManager *manager = winsim::PnpManager::Active();
  if (manager == nullptr) return;
  for (const winsim::DeviceInterfaceInfo &info : manager->Interfaces(classGuid, presentOnly)) {
    if (presentOnly && info.pdo == nullptr) continue;
    if (!UnderEnumerator(info.instancePath, enumerator)) continue;
    set.AddInterface(info, winsim::DeviceSetupClass(info.instancePath));
  }
}

void AddDevices(DeviceInfoSet &set, const GUID *classGuid, PCSTR enumerator) {
  winsim::PnpManager *manager = winsim::PnpManager::Active();
  if (manager == nullptr) return;
  for (const winsim::DeviceNodeInfo &node : manager->Devices()) {
    if (classGuid != nullptr && node.classGuid != *classGuid) continue;
    if (!UnderEnumerator(node.instancePath, enumerator)) continue;
    set.AddDevice(node.instancePath, node.classGuid);
  }
}

}  // namespace

HDEVINFO SetupDiCreateDeviceInfoList(const GUID *ClassGuid, HWND hwndParent) {
  (void)hwndParent;
  std::optional<GUID> classGuid;
  if (ClassGuid != nullptr) classGuid = *ClassGuid;
  return HandleTable::Instance().Insert(std::make_shared<DeviceInfoSet>(classGuid));
}

HDEVINFO SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags) {
  (void)hwndParent;
  if ((Flags & ~kClassDevsFlags) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return INVALID_HANDLE_VALUE;
  }
  const bool allClasses = (Flags & DIGCF_ALLCLASSES) != 0;
  if (ClassGuid == nullptr && !allClasses) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const GUID *filter = allClasses ? nullptr : ClassGuid;
  const bool interfaces = (Flags & DIGCF_DEVICEINTERFACE) != 0;
  // An interface set has no setup class; a device set of one class has it.
  std::optional<GUID> setClass;
  if (!interfaces && filter != nullptr) setClass = *filter;
  auto set = std::make_shared<DeviceInfoSet>(setClass);
  // Devices are listed while they are there: every device set holds present ones.
  if (interfaces) {
    AddInterfaces(*set, filter, Enumerator, (Flags & DIGCF_PRESENT) != 0);
  } else {
    AddDevices(*set, filter, Enumerator);
  }
  SetLastError(ERROR_SUCCESS);
  return HandleTable::Instance().Insert(std::move(set));
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  if (winsim::LookupDeviceInfoSet(DeviceInfoSet) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  HandleTable::Instance().Close(static_cast<HANDLE>(DeviceInfoSet));
  return TRUE;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, const GUID *InterfaceClassGuid,
                                 DWORD MemberIndex, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  auto set = winsim::LookupDeviceInfoSet(DeviceInfoSet);
  if (set == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  std::optional<size_t> device;
  if (DeviceInfoData != nullptr) {
    size_t index = 0;
    const DWORD error = winsim::CheckDeviceData(*set, DeviceInfoData, &index);
    if (error != ERROR_SUCCESS) {
      SetLastError(error);
      return FALSE;
    }
    device = index;
  }
  const std::vector<size_t> members = set->InterfacesOf(*InterfaceClassGuid, device);
  if (MemberIndex >= members.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  winsim::FillInterfaceData(*set, members[MemberIndex], DeviceInterfaceData);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
