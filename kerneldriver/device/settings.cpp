#include "kerneldriver/device/settings.h"

#include "kerneldriver/kernel_support.h"

NTSTATUS RegistryReadDword(HANDLE key, PCWSTR name, ULONG *value) {
  if (key == nullptr) return STATUS_INVALID_HANDLE;
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  ULONG needed = 0;
  NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, nullptr, 0, &needed);
  if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) {
    return NT_SUCCESS(status) ? STATUS_OBJECT_TYPE_MISMATCH : status;
  }
  ULONG size = QavMin(needed, kRegistryQueryCap);
  if (size < FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data)) return STATUS_OBJECT_TYPE_MISMATCH;
  auto *info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(QavAllocateZeroed(PagedPool, size, kTagBuffer));
  if (info == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, size, &needed);
  if (NT_SUCCESS(status)) {
    ULONG available = size - FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
    if (info->Type != REG_DWORD || info->DataLength < sizeof(ULONG) || available < sizeof(ULONG)) {
      status = STATUS_OBJECT_TYPE_MISMATCH;
    } else {
      QavCopyMemory(value, info->Data, sizeof(ULONG));
    }
  }
  QavFree(info, kTagBuffer);
  return status;
}

void RegistryWriteDword(HANDLE key, PCWSTR name, ULONG value) {
  if (key == nullptr) return;
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  NTSTATUS status = ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof(value));
  if (!NT_SUCCESS(status)) QAV_LOG(RegistryWriteFailed, static_cast<unsigned>(status));
}

HANDLE DriverKeyOpen(PDEVICE_OBJECT physicalDevice) {
  if (physicalDevice == nullptr) return nullptr;
  HANDLE key = nullptr;
  NTSTATUS status =
      IoOpenDeviceRegistryKey(physicalDevice, PLUGPLAY_REGKEY_DRIVER, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
  if (!NT_SUCCESS(status)) {
    QAV_LOG(DriverKeyNotOpened, static_cast<unsigned>(status));
    return nullptr;
  }
  return key;
}

NTSTATUS DriverKeyReadDword(UsbAudioDevice *device, PCWSTR name, ULONG *value) {
  return RegistryReadDword(device->driverKey, name, value);
}

void DriverKeyWriteDword(UsbAudioDevice *device, PCWSTR name, ULONG value) {
  RegistryWriteDword(device->driverKey, name, value);
}
