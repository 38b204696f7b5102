// SetupAPI device interfaces: details (the path user mode opens), opening an
// interface by path, and the interface's registry key.
#include <cstddef>
#include <cstring>

#include "winsim/kernel/pnp_keys.h"
#include "winsim/kernel/pnp_text.h"
#include "winsim/user/device_paths.h"
#include "winsim/user/registry_api.h"
#include "winsim/user/setupapi_set.h"

using winsim::DeviceInfoSet;

namespace {

constexpr DWORD kDetailFixedPart = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// The caller's detail buffer: absent with size 0 (a size query), or large
// enough for the fixed part and an empty path, its cbSize the structure's.
DWORD CheckDetailBuffer(const SP_DEVICE_INTERFACE_DETAIL_DATA_A *detail, DWORD size) {
  if (detail == nullptr) return size == 0 ? ERROR_SUCCESS : ERROR_INVALID_USER_BUFFER;
  if (size < kDetailFixedPart + 1) return ERROR_INVALID_USER_BUFFER;
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return ERROR_INVALID_USER_BUFFER;
  return ERROR_SUCCESS;
}

std::optional<winsim::DeviceInterfaceInfo> FindByPath(PCSTR path) {
  winsim::PnpManager *manager = winsim::PnpManager::Active();
  if (manager == nullptr) return std::nullopt;
  const std::u16string wanted = winsim::pnp::Upcase(winsim::WidenAnsi(path));
  for (const winsim::DeviceInterfaceInfo &info : manager->Interfaces(nullptr, false)) {
    if (winsim::pnp::Upcase(winsim::WidenAnsi(winsim::UserInterfacePath(info))) == wanted) return info;
  }
  return std::nullopt;
}

}  // namespace

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
  auto set = winsim::LookupDeviceInfoSet(DeviceInfoSet);
  if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
  size_t index = 0;
  DWORD error = winsim::CheckInterfaceData(*set, DeviceInterfaceData, &index);
  if (error == ERROR_SUCCESS) error = CheckDetailBuffer(DeviceInterfaceDetailData, DeviceInterfaceDetailDataSize);
  if (error == ERROR_SUCCESS && DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
    error = ERROR_INVALID_USER_BUFFER;
  }
  if (error != ERROR_SUCCESS) return Fail(error);
  const winsim::SetInterface element = *set->Interface(index);
  // The device's data is returned with a size query too.
  if (DeviceInfoData != nullptr) winsim::FillDeviceData(*set, element.device, DeviceInfoData);
  const std::string path = winsim::UserInterfacePath(element.info);
  const DWORD required = static_cast<DWORD>(kDetailFixedPart + path.size() + 1);
  if (RequiredSize != nullptr) *RequiredSize = required;
  if (DeviceInterfaceDetailData == nullptr || DeviceInterfaceDetailDataSize < required) {
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SetupDiOpenDeviceInterfaceA(HDEVINFO DeviceInfoSet, PCSTR DevicePath, DWORD OpenFlags,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  auto set = winsim::LookupDeviceInfoSet(DeviceInfoSet);
  if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (DevicePath == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if ((OpenFlags & ~static_cast<DWORD>(DIODI_NO_ADD)) != 0) return Fail(ERROR_INVALID_FLAGS);
  if (DeviceInterfaceData != nullptr && DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
    return Fail(ERROR_INVALID_USER_BUFFER);
  }
  std::optional<winsim::DeviceInterfaceInfo> info = FindByPath(DevicePath);
  if (!info) return Fail(ERROR_NO_SUCH_DEVICE_INTERFACE);
  const GUID deviceClass = winsim::DeviceSetupClass(info->instancePath);
  if (set->ClassGuid() && *set->ClassGuid() != deviceClass) return Fail(ERROR_CLASS_MISMATCH);
  std::optional<size_t> index = set->FindInterface(info->symbolicLink);
  if (!index) {
    if ((OpenFlags & DIODI_NO_ADD) != 0) return Fail(ERROR_NO_SUCH_DEVICE_INTERFACE);
    index = set->AddInterface(*info, deviceClass);
  }
  if (DeviceInterfaceData != nullptr) winsim::FillInterfaceData(*set, *index, DeviceInterfaceData);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

HKEY SetupDiOpenDeviceInterfaceRegKey(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      DWORD Reserved, REGSAM samDesired) {
  (void)Reserved;
  auto set = winsim::LookupDeviceInfoSet(DeviceInfoSet);
  size_t index = 0;
  DWORD error = set == nullptr ? ERROR_INVALID_HANDLE : winsim::CheckInterfaceData(*set, DeviceInterfaceData, &index);
  winsim::RegKeyRef key;
  if (error == ERROR_SUCCESS) {
    // The same key a driver opens with IoOpenDeviceInterfaceRegistryKey;
    // SetupAPI opens it only once it exists.
    const std::u16string path = set->Interface(index)->info.registryKey + u"\\" + winsim::pnp::kDeviceParameters;
    error = winsim::RegistryError(winsim::SystemRegistry().OpenKey(nullptr, path, &key));
  }
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return static_cast<HKEY>(INVALID_HANDLE_VALUE);
  }
  SetLastError(ERROR_SUCCESS);
  return winsim::InsertUserKey(key, samDesired);
}
