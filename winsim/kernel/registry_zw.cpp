// The kernel's registry API over winsim's registry. Every argument a caller
// passes is checked before it is used: handles against the handle table and
// the rights they were opened with, counted strings for odd or inconsistent
// lengths, output buffers for presence.
#include <nt/zw.h>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"
#include "registry_handles.h"
#include "registry_info.h"
#include "registry_store.h"

using winsim::RegistryHandles;
using winsim::RegKeyInfo;
using winsim::RegKeyRef;
using winsim::RegName;
using winsim::RegValue;
using winsim::SystemRegistry;

namespace {

NTSTATUS CaptureString(PCUNICODE_STRING s, std::u16string_view *out) {
  if (s == nullptr) return STATUS_INVALID_PARAMETER;
  if ((s->Length & 1) != 0 || s->Length > s->MaximumLength) return STATUS_INVALID_PARAMETER;
  if (s->Length != 0 && s->Buffer == nullptr) return STATUS_INVALID_PARAMETER;
  *out = s->Length == 0 ? std::u16string_view() : std::u16string_view(s->Buffer, s->Length / sizeof(WCHAR));
  return STATUS_SUCCESS;
}

// RootDirectory, when given, must be an open key; the name is then relative to it.
NTSTATUS CaptureAttributes(const OBJECT_ATTRIBUTES *attributes, RegKeyRef *base, std::u16string_view *path) {
  if (attributes == nullptr || attributes->Length != sizeof(OBJECT_ATTRIBUTES)) return STATUS_INVALID_PARAMETER;
  if (attributes->RootDirectory != nullptr) {
    const NTSTATUS status = RegistryHandles().Reference(attributes->RootDirectory, 0, base);
    if (!NT_SUCCESS(status)) return status;
  }
  if (attributes->ObjectName == nullptr) {
    *path = std::u16string_view();
    return attributes->RootDirectory != nullptr ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
  }
  return CaptureString(attributes->ObjectName, path);
}

NTSTATUS CheckOutput(PVOID buffer, ULONG length, PULONG resultLength) {
  return (resultLength == nullptr || (buffer == nullptr && length != 0)) ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

// Symbolic links and backup semantics are not modeled.
constexpr ULONG kUnmodeledCreateOptions = REG_OPTION_CREATE_LINK | REG_OPTION_OPEN_LINK | REG_OPTION_BACKUP_RESTORE;

}  // namespace

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, const std::source_location &winsimSite) {
  winsim::RequirePassive("ZwOpenKey", winsimSite);
  if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
  *KeyHandle = nullptr;
  RegKeyRef base, key;
  std::u16string_view path;
  NTSTATUS status = CaptureAttributes(ObjectAttributes, &base, &path);
  if (NT_SUCCESS(status)) status = SystemRegistry().OpenKey(base, path, &key);
  if (NT_SUCCESS(status)) *KeyHandle = RegistryHandles().Insert(key, winsim::MapKeyAccess(DesiredAccess), winsimSite);
  return status;
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition, const std::source_location &winsimSite) {
  winsim::RequirePassive("ZwCreateKey", winsimSite);
  (void)TitleIndex;
  if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
  *KeyHandle = nullptr;
  if ((CreateOptions & ~REG_LEGAL_OPTION) != 0 || (CreateOptions & kUnmodeledCreateOptions) != 0)
    return STATUS_INVALID_PARAMETER;
  winsim::RegCreateOptions options;
  options.isVolatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;
  std::u16string_view className;
  if (Class != nullptr) {
    const NTSTATUS status = CaptureString(Class, &className);
    if (!NT_SUCCESS(status)) return status;
    options.className = RegName(className);
  }
  RegKeyRef base, key;
  std::u16string_view path;
  ULONG disposition = 0;
  NTSTATUS status = CaptureAttributes(ObjectAttributes, &base, &path);
  if (NT_SUCCESS(status)) status = SystemRegistry().CreateKey(base, path, options, &key, &disposition);
  if (!NT_SUCCESS(status)) return status;
  *KeyHandle = RegistryHandles().Insert(key, winsim::MapKeyAccess(DesiredAccess), winsimSite);
  if (Disposition != nullptr) *Disposition = disposition;
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation, ULONG Length,
                         PULONG ResultLength, const std::source_location &winsimSite) {
  winsim::RequirePassive("ZwQueryValueKey", winsimSite);
  if (!winsim::IsModeledValueInformation(KeyValueInformationClass)) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = CheckOutput(KeyValueInformation, Length, ResultLength);
  RegKeyRef key;
  std::u16string_view name;
  if (NT_SUCCESS(status)) status = RegistryHandles().Reference(KeyHandle, KEY_QUERY_VALUE, &key);
  if (NT_SUCCESS(status)) status = CaptureString(ValueName, &name);
  RegValue value;
  RegName storedName;
  if (NT_SUCCESS(status)) status = SystemRegistry().QueryValue(key, name, &value, &storedName);
  if (!NT_SUCCESS(status)) return status;
  return winsim::FillValueInformation(KeyValueInformationClass, storedName, value, KeyValueInformation, Length,
                                      ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize, const std::source_location &winsimSite) {
  winsim::RequirePassive("ZwSetValueKey", winsimSite);
  (void)TitleIndex;
  RegKeyRef key;
  std::u16string_view name;
  NTSTATUS status = RegistryHandles().Reference(KeyHandle, KEY_SET_VALUE, &key);
  if (NT_SUCCESS(status)) status = CaptureString(ValueName, &name);
  if (NT_SUCCESS(status)) status = SystemRegistry().SetValue(key, name, Type, Data, DataSize);
  return status;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, const std::source_location &winsimSite) {
  winsim::RequirePassive("ZwDeleteValueKey", winsimSite);
  RegKeyRef key;
  std::u16string_view name;
  NTSTATUS status = RegistryHandles().Reference(KeyHandle, KEY_SET_VALUE, &key);
  if (NT_SUCCESS(status)) status = CaptureString(ValueName, &name);
  if (NT_SUCCESS(status)) status = SystemRegistry().DeleteValue(key, name);
  return status;
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                        ULONG Length, PULONG ResultLength, const std::source_location &winsimSite) {
  winsim::RequirePassive("ZwEnumerateKey", winsimSite);
  if (!winsim::IsModeledKeyInformation(KeyInformationClass)) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = CheckOutput(KeyInformation, Length, ResultLength);
  RegKeyRef key;
  RegKeyInfo info;
  if (NT_SUCCESS(status)) status = RegistryHandles().Reference(KeyHandle, KEY_ENUMERATE_SUB_KEYS, &key);
  if (NT_SUCCESS(status)) status = SystemRegistry().EnumerateSubKey(key, Index, &info);
  if (!NT_SUCCESS(status)) return status;
  return winsim::FillKeyInformation(KeyInformationClass, info, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength, const std::source_location &winsimSite) {
  winsim::RequirePassive("ZwEnumerateValueKey", winsimSite);
  if (!winsim::IsModeledValueInformation(KeyValueInformationClass)) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = CheckOutput(KeyValueInformation, Length, ResultLength);
  RegKeyRef key;
  RegName name;
  RegValue value;
  if (NT_SUCCESS(status)) status = RegistryHandles().Reference(KeyHandle, KEY_QUERY_VALUE, &key);
  if (NT_SUCCESS(status)) status = SystemRegistry().EnumerateValue(key, Index, &name, &value);
  if (!NT_SUCCESS(status)) return status;
  return winsim::FillValueInformation(KeyValueInformationClass, name, value, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                    PULONG ResultLength, const std::source_location &winsimSite) {
  winsim::RequirePassive("ZwQueryKey", winsimSite);
  if (!winsim::IsModeledKeyInformation(KeyInformationClass)) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = CheckOutput(KeyInformation, Length, ResultLength);
  RegKeyRef key;
  RegKeyInfo info;
  if (NT_SUCCESS(status)) status = RegistryHandles().Reference(KeyHandle, KEY_QUERY_VALUE, &key);
  if (NT_SUCCESS(status)) status = SystemRegistry().QueryKey(key, &info);
  if (!NT_SUCCESS(status)) return status;
  return winsim::FillKeyInformation(KeyInformationClass, info, KeyInformation, Length, ResultLength);
}

// The handle stays open after the key is deleted and must still be closed.
NTSTATUS ZwDeleteKey(HANDLE KeyHandle, const std::source_location &winsimSite) {
  winsim::RequirePassive("ZwDeleteKey", winsimSite);
  RegKeyRef key;
  NTSTATUS status = RegistryHandles().Reference(KeyHandle, DELETE, &key);
  if (NT_SUCCESS(status)) status = SystemRegistry().DeleteKey(key);
  return status;
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle, const std::source_location &winsimSite) {
  winsim::RequirePassive("ZwFlushKey", winsimSite);
  RegKeyRef key;
  RegKeyInfo info;
  NTSTATUS status = RegistryHandles().Reference(KeyHandle, 0, &key);
  if (NT_SUCCESS(status)) status = SystemRegistry().QueryKey(key, &info);  // a deleted key cannot be flushed
  if (NT_SUCCESS(status)) status = SystemRegistry().Flush();
  return status;
}

NTSTATUS ZwClose(HANDLE Handle, const std::source_location &winsimSite) {
  winsim::RequirePassive("ZwClose", winsimSite);
  if (Handle == nullptr) return STATUS_INVALID_HANDLE;
  const NTSTATUS status = RegistryHandles().Close(Handle);
  if (status != STATUS_INVALID_HANDLE) return status;
  // A kernel handle closed twice: on Windows the second close bug checks.
  if (RegistryHandles().WasClosed(Handle)) {
    winsim::BugCheck(winsim::BugCode::kInvalidKernelHandle,
                     "ZwClose of registry handle " + winsim::Hex(Handle) + ", which is closed already", winsimSite);
  }
  return winsim::CloseNonRegistryHandle(Handle);
}
