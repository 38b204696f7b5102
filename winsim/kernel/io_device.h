// Device objects of the I/O manager: creation, stacks, references and
// deferred deletion. A device object, its extension and winsim's own
// bookkeeping (struct _DEVOBJ_EXTENSION) share one pool block under the tag
// 'Devi', allocated at the driver's IoCreateDevice line.
#pragma once
#include <wdm.h>

#include <string>
#include <vector>

namespace winsim {

// The named device (\Device\...) or NULL. Not referenced.
PDEVICE_OBJECT FindNamedDevice(const std::u16string &name);

// The name IoCreateDevice gave the device, empty for an unnamed one.
std::u16string DeviceName(PDEVICE_OBJECT device);

// Whether device is a device object that has not been freed.
bool IsLiveDevice(PDEVICE_OBJECT device);

// "file:line" of the IoCreateDevice calls of the driver's devices that are
// still linked to it.
std::vector<std::string> DeviceCreationSites(PDRIVER_OBJECT driver);

// Forgets every device (at machine start and shutdown; pool is reset apart).
void ResetDeviceTable();

}  // namespace winsim
