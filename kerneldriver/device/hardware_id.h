// The device's hardware ids, read from the PDO at creation, and the prefix
// "USB\VID_xxxx&PID_xxxx" (21 characters) that identifies the device's audio
// endpoints in the MMDevices store.
#pragma once
#include "kerneldriver/device/device.h"

// Reads DevicePropertyHardwareID into hardwareIdList and fills
// hardwareIdPrefix. PASSIVE_LEVEL. Failures leave both empty.
void ReadHardwareIds(UsbAudioDevice *device);

// The first string of a REG_MULTI_SZ-style list (`bytes` bytes), cut to 21
// characters, always terminated.
void CopyHardwareIdPrefix(const WCHAR *list, ULONG bytes, WCHAR (&prefix)[kHardwareIdPrefixChars + 1]);

// True when `path` (`chars` characters, not necessarily terminated) from its
// fifth character on begins with `prefix`, ASCII letters compared without
// case. An empty prefix matches every path.
bool DevicePathMatchesPrefix(const WCHAR *path, ULONG chars, const WCHAR *prefix);
