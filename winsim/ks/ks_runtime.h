// The kernel-streaming runtime's entry points for the create and I/O paths:
// pins created relative to an open filter and the device-control requests a
// filter or pin receives (properties, methods, events, stream reads and
// writes, reset). The IRPs arrive as the I/O manager builds them for a
// user-mode caller: METHOD_NEITHER, the request in Type3InputBuffer, the data
// or stream headers in UserBuffer, RequestorMode UserMode. Each call
// completes the IRP (or queues it, returning STATUS_PENDING).
#pragma once
#include <wdm.h>
#include <ks.h>

#include <source_location>

namespace winsim::ks {

// IRP_MJ_CREATE of a pin on filter: the stack location's FileObject names
// the new pin's file object, its FileName holds the KSPIN_CONNECT followed by
// the KSDATAFORMAT (optionally after "{KSNAME_Pin}\"). PASSIVE_LEVEL. On
// success *pin (when given) is the new pin, whose file object is FileObject.
NTSTATUS CreatePin(PKSFILTER filter, PIRP irp, PKSPIN *pin = nullptr);

// IRP_MJ_DEVICE_CONTROL of a filter or pin (object is its KSFILTER or KSPIN).
NTSTATUS DispatchDeviceControl(PVOID object, PIRP irp);

// The same two without completing the IRP, for the driver's create and
// device-control routing: a status to complete with, or STATUS_PENDING for a
// stream request the pin queued. A pin's create requires the name to start
// with the pin's create item ("{KSNAME_Pin}\", leading backslash allowed):
// anything else is STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS RoutePinCreate(PKSFILTER filter, PIRP irp, PKSPIN *pin);
NTSTATUS RouteObjectControl(PVOID object, PIRP irp);

// IRP_MJ_CLEANUP of a file object of the filter or pin: cancels its queued
// stream requests and disables the events it enabled. PASSIVE_LEVEL.
void CleanupObject(PVOID object, PFILE_OBJECT fileObject);

// IRP_MJ_CLOSE of a pin: back to KSSTATE_STOP through the states between, its
// Close dispatch, then it goes. PASSIVE_LEVEL.
void ClosePin(PKSPIN pin, const std::source_location &site = std::source_location::current());

}  // namespace winsim::ks
