// KsInitializeDriver and the dispatch routines that are not PnP or power:
// create, close and device control wait for filters; system control passes
// down.
#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/ks/ks_device.h"
#include "winsim/ks/ks_dispatch.h"

namespace winsim::ks {
namespace {

NTSTATUS SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS ForwardAndWait(DeviceObject *device, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(device->pub.NextDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS PassDown(DeviceObject *device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(device->pub.NextDeviceObject, irp);
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Opening a filter comes with filters; until then nothing can be opened.
NTSTATUS DispatchCreate(PDEVICE_OBJECT fdo, PIRP irp) {
  (void)fdo;
  irp->IoStatus.Information = 0;
  return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT fdo, PIRP irp) {
  (void)fdo;
  irp->IoStatus.Information = 0;
  return CompleteIrp(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT fdo, PIRP irp) {
  (void)fdo;
  irp->IoStatus.Information = 0;
  return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS DispatchSystemControl(PDEVICE_OBJECT fdo, PIRP irp) {
  DeviceObject *device = DeviceFromFdo(fdo);
  if (device == nullptr) return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
  return PassDown(device, irp);
}

}  // namespace winsim::ks

using namespace winsim::ks;

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                            const KSDEVICE_DESCRIPTOR *Descriptor, const std::source_location &winsimSite) {
  (void)RegistryPathName;
  winsim::RequirePassive("KsInitializeDriver", winsimSite);
  if (DriverObject == nullptr) return STATUS_INVALID_PARAMETER;
  if (Descriptor != nullptr && Descriptor->FilterDescriptorsCount > 0 && Descriptor->FilterDescriptors == nullptr) {
    return STATUS_INVALID_PARAMETER;
  }
  RememberDriver(DriverObject, Descriptor);
  DriverObject->DriverExtension->AddDevice = KsAddDevice;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  DriverObject->DriverUnload = KsNullDriverUnload;
  return STATUS_SUCCESS;
}

VOID KsNullDriverUnload(PDRIVER_OBJECT DriverObject) { ForgetDriver(DriverObject); }
