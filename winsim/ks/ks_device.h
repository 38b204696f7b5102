// The AVStream device: creation on top of a PDO (AddDevice), destruction at
// REMOVE_DEVICE, and the per-driver state KsInitializeDriver records.
#pragma once
#include <wdm.h>
#include <ks.h>

#include "winsim/ks/ks_objects.h"

namespace winsim::ks {

// The descriptor a driver passed to KsInitializeDriver; NULL for a driver
// that did not, or passed none.
const KSDEVICE_DESCRIPTOR *DescriptorOf(PDRIVER_OBJECT driver);
bool IsKsDriver(PDRIVER_OBJECT driver);

// REMOVE_DEVICE's end: checks the device mutex was released, deletes the
// functional device object, frees the filter factories, the bag with its
// items and the device. PASSIVE_LEVEL; the device is detached already.
void DestroyDevice(DeviceObject *device);

// How the device's PostStart went: STATUS_PENDING while it runs or before
// it ran, STATUS_SUCCESS without a PostStart routine.
NTSTATUS PostStartStatus(PKSDEVICE device);

}  // namespace winsim::ks
