// IoOpenDeviceRegistryKey and IoGetDeviceProperty: a device's hardware and
// driver keys and the properties the PnP manager keeps for it.
#include <cstring>
#include <optional>
#include <vector>

#include "winsim/kernel/io_device.h"
#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/pnp_api_checks.h"
#include "winsim/kernel/pnp_keys.h"
#include "winsim/kernel/pnp_text.h"

namespace winsim::pnp {
namespace {

constexpr char16_t kMachineControlSet[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet";

// CM_REMOVAL_POLICY_* and DEVICE_INSTALL_STATE values.
constexpr ULONG kRemovalExpectNone = 1;
constexpr ULONG kRemovalExpectOrderly = 2;
constexpr ULONG kRemovalExpectSurprise = 3;
constexpr ULONG kInstallStateInstalled = 0;
constexpr ULONG kInstallStateFailedInstall = 2;

std::u16string InCurrentProfile(const std::u16string &path) {
  std::u16string prefix = kMachineControlSet;
  if (path.size() < prefix.size() || !EqualNoCase(path.substr(0, prefix.size()), prefix)) return path;
  return std::u16string(kHardwareProfileRoot) + path.substr(prefix.size());
}

std::vector<UCHAR> StringBytes(const std::u16string &text) {
  std::u16string terminated = text;
  terminated.push_back(u'\0');
  const auto *bytes = reinterpret_cast<const UCHAR *>(terminated.data());
  return std::vector<UCHAR>(bytes, bytes + terminated.size() * sizeof(WCHAR));
}

std::vector<UCHAR> MultiStringBytes(const std::vector<std::u16string> &strings) {
  std::u16string joined = JoinMultiSz(strings);
  const auto *bytes = reinterpret_cast<const UCHAR *>(joined.data());
  return std::vector<UCHAR>(bytes, bytes + joined.size() * sizeof(WCHAR));
}

std::vector<UCHAR> UlongBytes(ULONG value) {
  std::vector<UCHAR> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

std::optional<std::vector<UCHAR>> OptionalString(const std::optional<std::u16string> &text) {
  if (!text) return std::nullopt;
  return StringBytes(*text);
}

ULONG RemovalPolicy(const DEVICE_CAPABILITIES &capabilities) {
  if (capabilities.SurpriseRemovalOK && capabilities.Removable) return kRemovalExpectSurprise;
  return capabilities.Removable ? kRemovalExpectOrderly : kRemovalExpectNone;
}

// The property's bytes; nullopt when the device has no such property.
// *known is false for a property winsim does not keep.
std::optional<std::vector<UCHAR>> PropertyBytes(const DeviceNodeInfo &node, PDEVICE_OBJECT pdo,
                                                DEVICE_REGISTRY_PROPERTY property, bool *known) {
  *known = true;
  bool bound = !node.driverKeyName.empty();
  switch (property) {
    case DevicePropertyDeviceDescription:
      return StringBytes(ReadString(node.enumKey, u"DeviceDesc").value_or(node.description));
    case DevicePropertyHardwareID:
      if (node.hardwareIds.empty()) return std::nullopt;
      return MultiStringBytes(node.hardwareIds);
    case DevicePropertyCompatibleIDs:
      if (node.compatibleIds.empty()) return std::nullopt;
      return MultiStringBytes(node.compatibleIds);
    case DevicePropertyClassName:
      if (!bound) return std::nullopt;
      return StringBytes(node.className);
    case DevicePropertyClassGuid:
      if (!bound) return std::nullopt;
      return StringBytes(GuidText(node.classGuid));
    case DevicePropertyDriverKeyName:
      if (!bound) return std::nullopt;
      return StringBytes(node.driverKeyName);
    case DevicePropertyManufacturer: return OptionalString(ReadString(node.enumKey, u"Mfg"));
    case DevicePropertyFriendlyName: return OptionalString(ReadString(node.enumKey, u"FriendlyName"));
    case DevicePropertyLocationInformation:
      if (node.location.empty()) return std::nullopt;
      return StringBytes(node.location);
    case DevicePropertyPhysicalDeviceObjectName: return StringBytes(DeviceName(pdo));
    case DevicePropertyEnumeratorName: return StringBytes(node.deviceId.substr(0, node.deviceId.find(u'\\')));
    case DevicePropertyAddress:
      if (node.capabilities.Address == 0xFFFFFFFF) return std::nullopt;
      return UlongBytes(node.capabilities.Address);
    case DevicePropertyUINumber:
      if (node.capabilities.UINumber == 0xFFFFFFFF) return std::nullopt;
      return UlongBytes(node.capabilities.UINumber);
    case DevicePropertyRemovalPolicy: return UlongBytes(RemovalPolicy(node.capabilities));
    case DevicePropertyInstallState:
      return UlongBytes(bound ? kInstallStateInstalled : kInstallStateFailedInstall);
    default: *known = false; return std::nullopt;
  }
}

}  // namespace
}  // namespace winsim::pnp

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey, const std::source_location &winsimSite) {
  using namespace winsim::pnp;
  winsim::RequirePassive("IoOpenDeviceRegistryKey", winsimSite);
  winsim::PnpManager &manager = RequireManager("IoOpenDeviceRegistryKey", winsimSite);
  RequirePdo(manager, DeviceObject, "IoOpenDeviceRegistryKey", winsimSite);
  if (DevInstRegKey == nullptr) return STATUS_INVALID_PARAMETER;
  *DevInstRegKey = nullptr;
  std::optional<winsim::DeviceNodeInfo> node = manager.Device(DeviceObject);
  if (!node) return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string path;
  switch (DevInstKeyType & ~static_cast<ULONG>(PLUGPLAY_REGKEY_CURRENT_HWPROFILE)) {
    case PLUGPLAY_REGKEY_DEVICE: path = node->enumKey + u"\\" + kDeviceParameters; break;
    case PLUGPLAY_REGKEY_DRIVER:
      if (node->driverKey.empty()) return STATUS_INVALID_DEVICE_REQUEST;
      path = node->driverKey;
      break;
    default: return STATUS_INVALID_PARAMETER;
  }
  if (DevInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) path = InCurrentProfile(path);
  return OpenKeyHandle(path, DesiredAccess, DevInstRegKey);
}

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength,
                             const std::source_location &winsimSite) {
  using namespace winsim::pnp;
  winsim::RequirePassive("IoGetDeviceProperty", winsimSite);
  winsim::PnpManager &manager = RequireManager("IoGetDeviceProperty", winsimSite);
  RequirePdo(manager, DeviceObject, "IoGetDeviceProperty", winsimSite);
  if (ResultLength == nullptr) return STATUS_INVALID_PARAMETER_5;
  *ResultLength = 0;
  std::optional<winsim::DeviceNodeInfo> node = manager.Device(DeviceObject);
  if (!node) return STATUS_INVALID_DEVICE_REQUEST;
  bool known = false;
  std::optional<std::vector<UCHAR>> bytes = PropertyBytes(*node, DeviceObject, DeviceProperty, &known);
  if (!known) return STATUS_INVALID_PARAMETER_2;
  if (!bytes) return STATUS_OBJECT_NAME_NOT_FOUND;
  *ResultLength = static_cast<ULONG>(bytes->size());
  if (BufferLength < bytes->size()) return STATUS_BUFFER_TOO_SMALL;
  if (PropertyBuffer == nullptr) return STATUS_INVALID_PARAMETER_4;
  std::memcpy(PropertyBuffer, bytes->data(), bytes->size());
  return STATUS_SUCCESS;
}
