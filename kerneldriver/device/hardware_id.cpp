#include "kerneldriver/device/hardware_id.h"

#include "kerneldriver/kernel_support.h"

namespace {

// The endpoint device path carries a four-character prefix before the device id.
constexpr ULONG kDevicePathSkip = 4;

WCHAR AsciiUpper(WCHAR c) { return c >= 'a' && c <= 'z' ? static_cast<WCHAR>(c - 'a' + 'A') : c; }

}  // namespace

void CopyHardwareIdPrefix(const WCHAR *list, ULONG bytes, WCHAR (&prefix)[kHardwareIdPrefixChars + 1]) {
  ULONG chars = list != nullptr ? bytes / sizeof(WCHAR) : 0;
  ULONG used = 0;
  while (used < kHardwareIdPrefixChars && used < chars && list[used] != 0) {
    prefix[used] = list[used];
    ++used;
  }
  for (ULONG i = used; i <= kHardwareIdPrefixChars; ++i) prefix[i] = 0;
}

bool DevicePathMatchesPrefix(const WCHAR *path, ULONG chars, const WCHAR *prefix) {
  for (ULONG i = 0; i <= kHardwareIdPrefixChars && prefix[i] != 0; ++i) {
    ULONG at = kDevicePathSkip + i;
    if (path == nullptr || at >= chars || AsciiUpper(path[at]) != AsciiUpper(prefix[i])) return false;
  }
  return true;
}

void ReadHardwareIds(UsbAudioDevice *device) {
  PDEVICE_OBJECT pdo = device->device->PhysicalDeviceObject;
  ULONG size = 0;
  if (IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 0, nullptr, &size) != STATUS_BUFFER_TOO_SMALL || size == 0) {
    return;
  }
  ULONG bytes = size + sizeof(WCHAR);
  auto *list = static_cast<PWCHAR>(QavAllocateZeroed(PagedPool, bytes, kTagSmall));
  if (list == nullptr) return;
  NTSTATUS status = IoGetDeviceProperty(pdo, DevicePropertyHardwareID, size, list, &size);
  if (!NT_SUCCESS(status)) {
    QAV_LOG(HardwareIdsNotRead, static_cast<unsigned>(status));
    QavFree(list, kTagSmall);
    return;
  }
  device->hardwareIdList = list;
  device->hardwareIdListBytes = bytes;
  CopyHardwareIdPrefix(list, bytes, device->hardwareIdPrefix);
}
