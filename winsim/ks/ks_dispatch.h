// The IRP dispatch routines KsInitializeDriver installs in a minidriver's
// driver object, and what they share.
#pragma once
#include <wdm.h>
#include <ks.h>

#include "winsim/ks/ks_objects.h"

namespace winsim::ks {

void RememberDriver(PDRIVER_OBJECT driver, const KSDEVICE_DESCRIPTOR *descriptor);
void ForgetDriver(PDRIVER_OBJECT driver);

NTSTATUS DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp);
NTSTATUS DispatchPower(PDEVICE_OBJECT fdo, PIRP irp);
NTSTATUS DispatchCreate(PDEVICE_OBJECT fdo, PIRP irp);
NTSTATUS DispatchCleanup(PDEVICE_OBJECT fdo, PIRP irp);
NTSTATUS DispatchClose(PDEVICE_OBJECT fdo, PIRP irp);

// Requests on a file object standing for an AVStream object (ks_driver.cpp):
// a create relative to it, and device control on it. They return the status
// to complete the IRP with, or STATUS_PENDING when they keep it.
NTSTATUS RouteCreate(ObjectHeader *parent, PIRP irp);
NTSTATUS RouteDeviceControl(ObjectHeader *object, PIRP irp);
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT fdo, PIRP irp);
NTSTATUS DispatchSystemControl(PDEVICE_OBJECT fdo, PIRP irp);

// Sends the IRP to the next lower device on a copied stack location and
// waits for it to come back; the caller then owns it again. PASSIVE_LEVEL.
NTSTATUS ForwardAndWait(DeviceObject *device, PIRP irp);
// Hands the IRP to the next lower device and forgets it.
NTSTATUS PassDown(DeviceObject *device, PIRP irp);
NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status);

// The minidriver's dispatch table, or NULL.
inline const KSDEVICE_DISPATCH *DispatchOf(const DeviceObject *device) {
  return device->pub.Descriptor != nullptr ? device->pub.Descriptor->Dispatch : nullptr;
}

}  // namespace winsim::ks
