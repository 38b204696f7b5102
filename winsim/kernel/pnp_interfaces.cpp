// Device interfaces: registration under DeviceClasses, enabling and
// disabling, their "Device Parameters" key, and the Io* calls over them.
#include <cstring>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/pnp_api_checks.h"
#include "winsim/kernel/pnp_keys.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/kernel/pnp_node.h"
#include "winsim/kernel/pnp_text.h"
#include "winsim/kernel/pool.h"

namespace winsim {
namespace {

// Pool tag of the symbolic-link strings handed to drivers.
constexpr ULONG kLinkTag = MAKEFOURCC_TAG('P', 'n', 'p', 'L');

std::u16string WithHashes(std::u16string text) {
  for (char16_t &c : text) {
    if (c == u'\\') c = u'#';
  }
  return text;
}

// DeviceClasses\{class}\##?#<instance path with #>#{class}
std::u16string InterfaceBaseKey(const GUID &classGuid, const std::u16string &instancePath) {
  std::u16string guid = pnp::GuidText(classGuid);
  return std::u16string(pnp::kDeviceClassesRoot) + u"\\" + guid + u"\\##?#" + WithHashes(instancePath) + u"#" + guid;
}

void WriteLinked(const std::u16string &referenceKey, bool enabled) {
  std::u16string control = referenceKey + u"\\Control";
  pnp::CreateKeyPath(control, true);
  pnp::WriteDword(control, u"Linked", enabled ? 1 : 0);
}

}  // namespace

NTSTATUS PnpManager::RegisterInterface(PDEVICE_OBJECT pdo, const GUID &classGuid, const std::u16string &reference,
                                       std::u16string *symbolicLink) {
  std::shared_ptr<DeviceNode> node = NodeOf(pdo);
  if (node == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  if (reference.find(u'\\') != std::u16string::npos || reference.find(u'/') != std::u16string::npos) {
    return STATUS_INVALID_PARAMETER;
  }
  std::u16string instancePath = node->InstancePath();
  std::u16string link = u"\\??\\" + WithHashes(instancePath) + u"#" + pnp::GuidText(classGuid);
  if (!reference.empty()) link += u"\\" + reference;
  std::u16string baseKey = InterfaceBaseKey(classGuid, instancePath);
  std::u16string referenceKey = baseKey + u"\\#" + reference;
  pnp::WriteString(baseKey, u"DeviceInstance", instancePath);
  pnp::WriteString(referenceKey, u"SymbolicLink", u"\\\\?\\" + link.substr(4));
  {
    std::lock_guard<std::mutex> guard(m_lock);
    std::unique_ptr<InterfaceRecord> &record = m_interfaces[pnp::Upcase(link)];
    if (record == nullptr) {
      record = std::make_unique<InterfaceRecord>();
      record->info.classGuid = classGuid;
      record->info.symbolicLink = link;
      record->info.referenceString = reference;
      record->info.instancePath = instancePath;
      record->info.registryKey = referenceKey;
    }
    record->info.pdo = pdo;
  }
  *symbolicLink = link;
  return STATUS_SUCCESS;
}

NTSTATUS PnpManager::SetInterfaceState(const std::u16string &symbolicLink, bool enable) {
  DeviceInterfaceInfo info;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_interfaces.find(pnp::Upcase(symbolicLink));
    if (it == m_interfaces.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    DeviceInterfaceInfo &current = it->second->info;
    if (enable && current.enabled) return STATUS_OBJECT_NAME_EXISTS;
    if (!enable && !current.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (enable && current.pdo == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    current.enabled = enable;
    info = current;
  }
  WriteLinked(info.registryKey, enable);
  NotifyInterface(info, enable);
  return STATUS_SUCCESS;
}

std::u16string PnpManager::InterfaceKeyPath(const std::u16string &symbolicLink) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_interfaces.find(pnp::Upcase(symbolicLink));
  return it == m_interfaces.end() ? std::u16string() : it->second->info.registryKey;
}

void PnpManager::DisableInterfacesOf(PDEVICE_OBJECT pdo) {
  std::vector<std::u16string> links;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto &[key, record] : m_interfaces) {
      if (record->info.pdo == pdo && record->info.enabled) links.push_back(record->info.symbolicLink);
    }
  }
  for (const std::u16string &link : links) SetInterfaceState(link, false);
}

std::vector<DeviceInterfaceInfo> PnpManager::Interfaces(const GUID *classGuid, bool enabledOnly) const {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<DeviceInterfaceInfo> found;
  for (const auto &[key, record] : m_interfaces) {
    if (classGuid != nullptr && record->info.classGuid != *classGuid) continue;
    if (enabledOnly && !record->info.enabled) continue;
    found.push_back(record->info);
  }
  return found;
}

void PnpManager::AddInterfaceListener(InterfaceListener listener) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_interfaceListeners.push_back(std::move(listener));
}

void PnpManager::NotifyInterface(const DeviceInterfaceInfo &info, bool arrived) {
  std::vector<InterfaceListener> listeners;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    listeners = m_interfaceListeners;
  }
  for (const InterfaceListener &listener : listeners) listener(info, arrived);
}

}  // namespace winsim

using winsim::PnpManager;

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName,
                                   const std::source_location &winsimSite) {
  winsim::RequirePassive("IoRegisterDeviceInterface", winsimSite);
  PnpManager &manager = winsim::pnp::RequireManager("IoRegisterDeviceInterface", winsimSite);
  if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) return STATUS_INVALID_PARAMETER;
  winsim::pnp::RequirePdo(manager, PhysicalDeviceObject, "IoRegisterDeviceInterface", winsimSite);
  std::u16string link;
  NTSTATUS status = manager.RegisterInterface(PhysicalDeviceObject, *InterfaceClassGuid,
                                              winsim::pnp::FromUnicodeString(ReferenceString), &link);
  if (!NT_SUCCESS(status)) return status;
  size_t bytes = (link.size() + 1) * sizeof(WCHAR);
  if (bytes > 0xFFFF) return STATUS_INVALID_PARAMETER;
  auto *buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes, winsim::kLinkTag, winsimSite));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, link.c_str(), bytes);
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable,
                                   const std::source_location &winsimSite) {
  winsim::RequirePassive("IoSetDeviceInterfaceState", winsimSite);
  PnpManager &manager = winsim::pnp::RequireManager("IoSetDeviceInterfaceState", winsimSite);
  if (SymbolicLinkName == nullptr) return STATUS_INVALID_PARAMETER;
  return manager.SetInterfaceState(winsim::pnp::FromUnicodeString(SymbolicLinkName), Enable != FALSE);
}

NTSTATUS IoOpenDeviceInterfaceRegistryKey(PUNICODE_STRING SymbolicLinkName, ACCESS_MASK DesiredAccess,
                                          PHANDLE DeviceInterfaceKey, const std::source_location &winsimSite) {
  winsim::RequirePassive("IoOpenDeviceInterfaceRegistryKey", winsimSite);
  PnpManager &manager = winsim::pnp::RequireManager("IoOpenDeviceInterfaceRegistryKey", winsimSite);
  if (SymbolicLinkName == nullptr || DeviceInterfaceKey == nullptr) return STATUS_INVALID_PARAMETER;
  *DeviceInterfaceKey = nullptr;
  std::u16string key = manager.InterfaceKeyPath(winsim::pnp::FromUnicodeString(SymbolicLinkName));
  if (key.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
  return winsim::pnp::OpenKeyHandle(key + u"\\" + winsim::pnp::kDeviceParameters, DesiredAccess, DeviceInterfaceKey);
}

void RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
  if (UnicodeString == nullptr) return;
  if (UnicodeString->Buffer != nullptr) ExFreePool(UnicodeString->Buffer);
  UnicodeString->Buffer = nullptr;
  UnicodeString->Length = 0;
  UnicodeString->MaximumLength = 0;
}
