// advapi32 key functions: open, create, delete, enumerate and close keys.
#include "winsim/user/registry_api.h"

using winsim::RegistryError;
using winsim::RegKeyInfo;
using winsim::RegKeyRef;
using winsim::ResolveUserKey;
using winsim::SystemRegistry;
using winsim::WidenAnsi;

namespace {

bool IsPredefined(HKEY key) {
  return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE || key == HKEY_USERS;
}

// Copies name and terminator into a buffer of *chars characters; the count
// becomes the name's length. ERROR_MORE_DATA leaves both untouched.
LSTATUS CopyName(const std::string &name, LPSTR buffer, LPDWORD chars) {
  if (name.size() + 1 > *chars) return ERROR_MORE_DATA;
  name.copy(buffer, name.size());
  buffer[name.size()] = '\0';
  *chars = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  if ((ulOptions & ~REG_OPTION_OPEN_LINK) != 0) return ERROR_INVALID_PARAMETER;
  RegKeyRef base, key;
  ACCESS_MASK access = 0;
  LSTATUS error = ResolveUserKey(hKey, &base, &access);
  if (error != ERROR_SUCCESS) return error;
  error = RegistryError(SystemRegistry().OpenKey(base, WidenAnsi(lpSubKey != nullptr ? lpSubKey : ""), &key));
  if (error == ERROR_SUCCESS) *phkResult = winsim::InsertUserKey(key, samDesired);
  return error;
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
  (void)Reserved;
  (void)lpSecurityAttributes;
  if (phkResult == nullptr || lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  // Links and backup semantics are not modelled.
  if ((dwOptions & ~REG_OPTION_VOLATILE) != 0) return ERROR_INVALID_PARAMETER;
  RegKeyRef base, key;
  ACCESS_MASK access = 0;
  LSTATUS error = ResolveUserKey(hKey, &base, &access);
  if (error != ERROR_SUCCESS) return error;
  const std::u16string path = WidenAnsi(lpSubKey);
  ULONG disposition = REG_OPENED_EXISTING_KEY;
  NTSTATUS status = SystemRegistry().OpenKey(base, path, &key);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
    // Creating below a key needs the right to create subkeys on it.
    if ((access & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
    winsim::RegCreateOptions options;
    options.withParents = true;
    options.isVolatile = (dwOptions & REG_OPTION_VOLATILE) != 0;
    if (lpClass != nullptr) options.className = WidenAnsi(lpClass);
    status = SystemRegistry().CreateKey(base, path, options, &key, &disposition);
  }
  error = RegistryError(status);
  if (error != ERROR_SUCCESS) return error;
  *phkResult = winsim::InsertUserKey(key, samDesired);
  if (lpdwDisposition != nullptr) *lpdwDisposition = disposition;
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  if (*lpSubKey == '\0' && IsPredefined(hKey)) return ERROR_ACCESS_DENIED;
  RegKeyRef base, key;
  ACCESS_MASK access = 0;
  LSTATUS error = ResolveUserKey(hKey, &base, &access);
  if (error != ERROR_SUCCESS) return error;
  error = RegistryError(SystemRegistry().OpenKey(base, WidenAnsi(lpSubKey), &key));
  if (error != ERROR_SUCCESS) return error;
  // A key with subkeys cannot be deleted (ERROR_ACCESS_DENIED), nor a hive root.
  return RegistryError(SystemRegistry().DeleteKey(key));
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
  if (lpClass != nullptr && lpcchClass == nullptr) return ERROR_INVALID_PARAMETER;
  RegKeyRef key;
  ACCESS_MASK access = 0;
  LSTATUS error = ResolveUserKey(hKey, &key, &access);
  if (error != ERROR_SUCCESS) return error;
  if ((access & KEY_ENUMERATE_SUB_KEYS) == 0) return ERROR_ACCESS_DENIED;
  RegKeyInfo info;
  error = RegistryError(SystemRegistry().EnumerateSubKey(key, dwIndex, &info));
  if (error != ERROR_SUCCESS) return error;
  DWORD classChars = lpcchClass != nullptr ? *lpcchClass : 0;
  if (lpClass != nullptr) {
    error = CopyName(winsim::NarrowToAnsi(info.className), lpClass, &classChars);
    if (error != ERROR_SUCCESS) return error;
  }
  error = CopyName(winsim::NarrowToAnsi(info.name), lpName, lpcchName);
  if (error != ERROR_SUCCESS) return error;
  if (lpClass != nullptr) *lpcchClass = classChars;
  if (lpftLastWriteTime != nullptr) {
    lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(info.lastWriteTime);
    lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(info.lastWriteTime) >> 32);
  }
  return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY hKey) {
  if (IsPredefined(hKey)) return ERROR_SUCCESS;
  if (winsim::HandleTable::Instance().LookupAs<winsim::UserRegistryKey>(static_cast<HANDLE>(hKey)) == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  winsim::HandleTable::Instance().Close(static_cast<HANDLE>(hKey));
  return ERROR_SUCCESS;
}
