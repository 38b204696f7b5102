#include "winsim/kernel/pnp_keys.h"

#include <cstdio>

#include "winsim/kernel/pnp_text.h"
#include "winsim/kernel/registry_handles.h"

namespace winsim::pnp {

std::u16string EnumKeyPath(const std::u16string &instancePath) { return std::u16string(kEnumRoot) + u"\\" + instancePath; }

std::u16string ClassKeyPath(const GUID &classGuid) { return std::u16string(kClassRoot) + u"\\" + GuidText(classGuid); }

NTSTATUS CreateKeyPath(const std::u16string &path, bool isVolatile) {
  RegCreateOptions options;
  options.withParents = true;
  options.isVolatile = isVolatile;
  RegKeyRef key;
  ULONG disposition = 0;
  return SystemRegistry().CreateKey(nullptr, path, options, &key, &disposition);
}

NTSTATUS WriteString(const std::u16string &path, const std::u16string &name, const std::u16string &value) {
  return SystemRegistry().WriteValue(path, name, RegValue::String(value));
}

NTSTATUS WriteMultiString(const std::u16string &path, const std::u16string &name,
                          const std::vector<std::u16string> &values) {
  return SystemRegistry().WriteValue(path, name, RegValue::MultiString(values));
}

NTSTATUS WriteDword(const std::u16string &path, const std::u16string &name, DWORD value) {
  return SystemRegistry().WriteValue(path, name, RegValue::Dword(value));
}

std::optional<std::u16string> ReadString(const std::u16string &path, const std::u16string &name) {
  std::optional<RegValue> value = SystemRegistry().ReadValue(path, name);
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
  return TerminatedString(reinterpret_cast<const WCHAR *>(value->data.data()), value->data.size() / sizeof(WCHAR));
}

NTSTATUS OpenKeyHandle(const std::u16string &path, ACCESS_MASK desiredAccess, PHANDLE handle) {
  *handle = nullptr;
  RegCreateOptions options;
  options.withParents = true;
  RegKeyRef key;
  ULONG disposition = 0;
  NTSTATUS status = SystemRegistry().CreateKey(nullptr, path, options, &key, &disposition);
  if (!NT_SUCCESS(status)) return status;
  *handle = RegistryHandles().Insert(key, MapKeyAccess(desiredAccess));
  return STATUS_SUCCESS;
}

std::optional<std::u16string> FreeDriverKeyIndex(const GUID &classGuid) {
  std::u16string classKey = ClassKeyPath(classGuid);
  for (unsigned index = 0; index <= 9999; ++index) {
    char name[8];
    std::snprintf(name, sizeof name, "%04u", index);
    if (!SystemRegistry().KeyExists(classKey + u"\\" + Widen(name))) return Widen(name);
  }
  return std::nullopt;
}

}  // namespace winsim::pnp
