// Settings kept in the device's driver key: "UrbSize" and "SampleRate", both
// REG_DWORD. Registry failures never fail a caller: it keeps its default.
// PASSIVE_LEVEL.
#pragma once
#include "kerneldriver/device/device.h"

inline constexpr ULONG kRegistryQueryCap = 4096;

// Reads a REG_DWORD value: STATUS_OBJECT_NAME_NOT_FOUND when missing,
// STATUS_OBJECT_TYPE_MISMATCH for any other type (or fewer than 4 bytes).
NTSTATUS RegistryReadDword(HANDLE key, PCWSTR name, ULONG *value);
// Writes a REG_DWORD value; the outcome is only traced.
void RegistryWriteDword(HANDLE key, PCWSTR name, ULONG value);

// Opens the device's driver key with query and set access; null when there is no PDO or no key.
HANDLE DriverKeyOpen(PDEVICE_OBJECT physicalDevice);
NTSTATUS DriverKeyReadDword(UsbAudioDevice *device, PCWSTR name, ULONG *value);
void DriverKeyWriteDword(UsbAudioDevice *device, PCWSTR name, ULONG value);

#define QAV_VALUE_URB_SIZE QAV_W("UrbSize")
#define QAV_VALUE_SAMPLE_RATE QAV_W("SampleRate")
#define QAV_VALUE_FRIENDLY_NAME QAV_W("FriendlyName")
