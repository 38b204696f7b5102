#include "uac2common/asiodriver/buffer_size_setting.h"

namespace qavasio {
namespace {

constexpr char kUserKey[] = "software\\Tessarin\\Tessarin_UAC2Asio";
constexpr char kBufferSizeValue[] = "AsioBufferSize";
constexpr REGSAM kAccess = KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE;
constexpr uint32_t kDefaultBufferSize = 256;

}  // namespace

uint32_t ReadPreferredBufferSize() {
  DWORD size = kDefaultBufferSize;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kUserKey, 0, kAccess, &key) != ERROR_SUCCESS) return size;
  DWORD bytes = sizeof size;
  DWORD value = kDefaultBufferSize;
  if (RegQueryValueExA(key, kBufferSizeValue, nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &bytes) ==
          ERROR_SUCCESS &&
      bytes == sizeof value) {
    size = value;
  }
  RegCloseKey(key);
  return size;
}

void WritePreferredBufferSize(uint32_t samples) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kUserKey, 0, nullptr, 0, kAccess, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return;
  }
  const DWORD value = samples;
  RegSetValueExA(key, kBufferSizeValue, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
  RegCloseKey(key);
}

}  // namespace qavasio
