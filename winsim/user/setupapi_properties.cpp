// SetupDiGetDeviceRegistryPropertyA: a device's properties as SetupAPI reads
// them from its Enum key, strings converted to ANSI.
#include <cstring>

#include "winsim/kernel/pnp_keys.h"
#include "winsim/user/registry_api.h"
#include "winsim/user/setupapi_set.h"

namespace {

// The Enum key value behind each property winsim knows; null for a code
// Windows does not define.
const char16_t *PropertyValueName(DWORD property) {
  switch (property) {
    case SPDRP_DEVICEDESC: return u"DeviceDesc";
    case SPDRP_HARDWAREID: return u"HardwareID";
    case SPDRP_COMPATIBLEIDS: return u"CompatibleIDs";
    case SPDRP_SERVICE: return u"Service";
    case SPDRP_CLASS: return u"Class";
    case SPDRP_CLASSGUID: return u"ClassGUID";
    case SPDRP_DRIVER: return u"Driver";
    case SPDRP_CONFIGFLAGS: return u"ConfigFlags";
    case SPDRP_MFG: return u"Mfg";
    case SPDRP_FRIENDLYNAME: return u"FriendlyName";
    case SPDRP_LOCATION_INFORMATION: return u"LocationInformation";
    default: return nullptr;
  }
}

bool IsUnusedCode(DWORD property) { return property == 0x3 || property == 0x5 || property == 0x6; }

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize) {
  auto set = winsim::LookupDeviceInfoSet(DeviceInfoSet);
  if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
  size_t index = 0;
  const DWORD error = winsim::CheckDeviceData(*set, DeviceInfoData, &index);
  if (error != ERROR_SUCCESS) return Fail(error);
  if (Property >= SPDRP_MAXIMUM_PROPERTY || IsUnusedCode(Property)) return Fail(ERROR_INVALID_REG_PROPERTY);
  if (PropertyBuffer == nullptr && PropertyBufferSize != 0) return Fail(ERROR_INVALID_USER_BUFFER);
  // Properties winsim does not keep read as absent, as an unset one does.
  const char16_t *valueName = PropertyValueName(Property);
  if (valueName == nullptr) return Fail(ERROR_INVALID_DATA);
  const std::u16string enumKey = winsim::pnp::EnumKeyPath(set->Device(index)->instancePath);
  std::optional<winsim::RegValue> value = winsim::SystemRegistry().ReadValue(enumKey, valueName);
  if (!value) return Fail(ERROR_INVALID_DATA);
  std::vector<UCHAR> data = value->data;
  if (value->type == REG_SZ || value->type == REG_MULTI_SZ || value->type == REG_EXPAND_SZ) {
    std::u16string wide(data.size() / 2, u'\0');
    std::memcpy(wide.data(), data.data(), wide.size() * 2);
    const std::string narrow = winsim::NarrowToAnsi(wide);
    data.assign(narrow.begin(), narrow.end());
  }
  if (PropertyRegDataType != nullptr) *PropertyRegDataType = value->type;
  if (RequiredSize != nullptr) *RequiredSize = static_cast<DWORD>(data.size());
  if (data.size() > PropertyBufferSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (!data.empty()) std::memcpy(PropertyBuffer, data.data(), data.size());
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
