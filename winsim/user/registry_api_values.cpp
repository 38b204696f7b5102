// advapi32 value functions. The store keeps strings in UTF-16, as Windows
// does; the ANSI forms convert string types on the way in and out, so sizes
// are those of the ANSI text.
#include <cstring>

#include "winsim/user/registry_api.h"

using winsim::RegistryError;
using winsim::RegKeyRef;
using winsim::RegValue;
using winsim::ResolveUserKey;
using winsim::SystemRegistry;

namespace {

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::vector<UCHAR> AnsiData(const RegValue &value) {
  if (!IsStringType(value.type)) return value.data;
  std::u16string wide(value.data.size() / 2, u'\0');
  std::memcpy(wide.data(), value.data.data(), wide.size() * 2);
  const std::string narrow = winsim::NarrowToAnsi(wide);
  return std::vector<UCHAR>(narrow.begin(), narrow.end());
}

}  // namespace

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
  RegKeyRef key;
  ACCESS_MASK access = 0;
  LSTATUS error = ResolveUserKey(hKey, &key, &access);
  if (error != ERROR_SUCCESS) return error;
  if ((access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
  RegValue value;
  error = RegistryError(SystemRegistry().QueryValue(key, winsim::WidenAnsi(lpValueName != nullptr ? lpValueName : ""),
                                                    &value));
  if (error != ERROR_SUCCESS) return error;
  const std::vector<UCHAR> data = AnsiData(value);
  if (lpType != nullptr) *lpType = value.type;
  if (lpcbData == nullptr) return ERROR_SUCCESS;
  const DWORD capacity = *lpcbData;
  *lpcbData = static_cast<DWORD>(data.size());
  if (lpData == nullptr) return ERROR_SUCCESS;
  if (data.size() > capacity) return ERROR_MORE_DATA;
  if (!data.empty()) std::memcpy(lpData, data.data(), data.size());
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, CONST BYTE *lpData,
                       DWORD cbData) {
  (void)Reserved;
  if (lpData == nullptr && cbData != 0) return ERROR_NOACCESS;
  RegKeyRef key;
  ACCESS_MASK access = 0;
  LSTATUS error = ResolveUserKey(hKey, &key, &access);
  if (error != ERROR_SUCCESS) return error;
  if ((access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  const std::u16string name = winsim::WidenAnsi(lpValueName != nullptr ? lpValueName : "");
  if (!IsStringType(dwType)) return RegistryError(SystemRegistry().SetValue(key, name, dwType, lpData, cbData));
  const std::u16string wide =
      winsim::WidenAnsi(std::string_view(reinterpret_cast<const char *>(lpData), lpData != nullptr ? cbData : 0));
  return RegistryError(SystemRegistry().SetValue(key, name, dwType, wide.data(), wide.size() * sizeof(char16_t)));
}
