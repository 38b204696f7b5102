#include "uac2common/asiodriver/asio_settings.h"

namespace {

constexpr REGSAM kSettingsAccess = KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE;

}  // namespace

DWORD ReadPreferredBufferSize() {
  DWORD samples = kDefaultAsioBufferSize;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kAsioSettingsKey, 0, kSettingsAccess, &key) != ERROR_SUCCESS) return samples;
  DWORD stored = 0;
  DWORD bytes = sizeof stored;
  // Only a complete 4-byte value counts: a failed or short read leaves the
  // buffer's contents undefined or partly written.
  if (RegQueryValueExA(key, kAsioBufferSizeValue, nullptr, nullptr, reinterpret_cast<BYTE *>(&stored), &bytes) ==
          ERROR_SUCCESS &&
      bytes == sizeof stored) {
    samples = stored;
  }
  RegCloseKey(key);
  return samples;
}

void WritePreferredBufferSize(DWORD samples) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kAsioSettingsKey, 0, nullptr, 0, kSettingsAccess, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    return;
  }
  RegSetValueExA(key, kAsioBufferSizeValue, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&samples), sizeof samples);
  RegCloseKey(key);
}
