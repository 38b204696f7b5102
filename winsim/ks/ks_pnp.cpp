// IRP_MJ_PNP for AVStream devices, as ks.sys handles it: START_DEVICE goes
// down first, then the minidriver's Start, and PostStart follows from a
// system worker, again at each start after a stop (resource rebalance);
// removal calls the minidriver before passing the IRP down and then tears
// the device down.
//
// START_DEVICE completes before PostStart runs, so the PnP manager goes on
// with the device meanwhile: queries, SURPRISE_REMOVAL and power IRPs reach
// the minidriver while PostStart runs. Only what would take the device from
// under PostStart waits for it: STOP_DEVICE and REMOVE_DEVICE (and filter
// creation, which fails once PostStart failed). A failed PostStart is
// reported with IoInvalidateDeviceState, and QUERY_PNP_DEVICE_STATE answers
// PNP_DEVICE_FAILED from then on.
#include <cstdio>

#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/ks/ks_device.h"
#include "winsim/ks/ks_dispatch.h"

namespace winsim::ks {
namespace {

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(status));
  return text;
}

void WaitForPostStart(DeviceObject *device) {
  KeWaitForSingleObject(&device->postStartIdle, Executive, KernelMode, FALSE, nullptr);
}

void RunPostStart(PDEVICE_OBJECT fdo, PVOID context) {
  (void)fdo;
  auto *device = static_cast<DeviceObject *>(context);
  NTSTATUS status = DispatchOf(device)->PostStart(&device->pub);
  device->postStartStatus = status;
  device->postStartRan = TRUE;
  if (!NT_SUCCESS(status)) DebugLog::Append("ks", "PostStart failed with status " + StatusText(status));
  PIO_WORKITEM item = device->postStartItem;
  device->postStartItem = nullptr;
  PDEVICE_OBJECT pdo = device->pub.PhysicalDeviceObject;
  KeSetEvent(&device->postStartIdle, IO_NO_INCREMENT, FALSE);
  // Reported before the start counts as settled, so whoever waits for the
  // manager to be idle also waits for what the report sets off.
  if (!NT_SUCCESS(status)) IoInvalidateDeviceState(pdo);
  PnpStartFinished(pdo, status);
  IoFreeWorkItem(item);
}

// Queued once START_DEVICE has completed; the PnP manager hears that the
// start goes on.
void SchedulePostStart(DeviceObject *device) {
  PIO_WORKITEM item = IoAllocateWorkItem(device->pub.FunctionalDeviceObject);
  if (item == nullptr) {
    device->postStartStatus = STATUS_INSUFFICIENT_RESOURCES;
    IoInvalidateDeviceState(device->pub.PhysicalDeviceObject);
    PnpStartFinished(device->pub.PhysicalDeviceObject, STATUS_INSUFFICIENT_RESOURCES);
    return;
  }
  device->postStartItem = item;
  KeClearEvent(&device->postStartIdle);
  IoQueueWorkItem(item, RunPostStart, DelayedWorkQueue, device);
}

// Filter factories of the descriptor's static filters, made at the first
// start; they outlive a stop (resource rebalance) as the device does.
NTSTATUS CreateStaticFactories(DeviceObject *device) {
  const KSDEVICE_DESCRIPTOR *descriptor = device->pub.Descriptor;
  if (descriptor == nullptr || device->staticFactoriesCreated) return STATUS_SUCCESS;
  device->staticFactoriesCreated = TRUE;
  for (ULONG i = 0; i < descriptor->FilterDescriptorsCount; ++i) {
    NTSTATUS status = KsCreateFilterFactory(device->pub.FunctionalDeviceObject, descriptor->FilterDescriptors[i],
                                            nullptr, nullptr, 0, nullptr, nullptr, nullptr);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Start(DeviceObject *device, PIRP irp) {
  NTSTATUS status = ForwardAndWait(device, irp);
  const KSDEVICE_DISPATCH *dispatch = DispatchOf(device);
  if (NT_SUCCESS(status) && dispatch != nullptr && dispatch->Start != nullptr) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    status = dispatch->Start(&device->pub, irp, stack->Parameters.StartDevice.AllocatedResourcesTranslated,
                             stack->Parameters.StartDevice.AllocatedResources);
    RequireIrqlRestored("the minidriver's Start", PASSIVE_LEVEL, std::source_location::current());
  }
  if (NT_SUCCESS(status)) status = CreateStaticFactories(device);
  bool postStart = NT_SUCCESS(status) && dispatch != nullptr && dispatch->PostStart != nullptr;
  if (NT_SUCCESS(status)) {
    device->pub.Started = TRUE;
    device->postStartStatus = postStart ? STATUS_PENDING : STATUS_SUCCESS;
  }
  if (postStart) PnpStartContinues(device->pub.PhysicalDeviceObject);
  CompleteIrp(irp, status);
  if (postStart) SchedulePostStart(device);
  return status;
}

NTSTATUS QueryCapabilities(DeviceObject *device, PIRP irp) {
  NTSTATUS status = ForwardAndWait(device, irp);
  PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  const KSDEVICE_DISPATCH *dispatch = DispatchOf(device);
  if (NT_SUCCESS(status) && capabilities != nullptr) {
    if (dispatch != nullptr && dispatch->QueryCapabilities != nullptr) {
      status = dispatch->QueryCapabilities(&device->pub, irp, capabilities);
    }
    device->capabilities = *capabilities;
    device->capabilitiesKnown = TRUE;
  }
  return CompleteIrp(irp, status);
}

// QUERY_REMOVE and QUERY_STOP: the minidriver may refuse before the IRP goes down.
NTSTATUS Query(DeviceObject *device, PIRP irp, PFNKSDEVICEIRP callback) {
  NTSTATUS status = callback != nullptr ? callback(&device->pub, irp) : STATUS_SUCCESS;
  if (!NT_SUCCESS(status)) return CompleteIrp(irp, status);
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(device, irp);
}

// CANCEL_REMOVE and CANCEL_STOP: the lower drivers resume first.
NTSTATUS Cancel(DeviceObject *device, PIRP irp, PFNKSDEVICEIRPVOID callback) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = ForwardAndWait(device, irp);
  if (callback != nullptr) callback(&device->pub, irp);
  return CompleteIrp(irp, status);
}

// The device stays, with its factories and open filters; no filter opens
// until it is started again, when PostStart runs once more.
NTSTATUS Stop(DeviceObject *device, PIRP irp) {
  const KSDEVICE_DISPATCH *dispatch = DispatchOf(device);
  if (dispatch != nullptr && dispatch->Stop != nullptr) dispatch->Stop(&device->pub, irp);
  device->pub.Started = FALSE;
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(device, irp);
}

NTSTATUS SurpriseRemoval(DeviceObject *device, PIRP irp) {
  device->surpriseRemoved = TRUE;
  DisableFactoryInterfaces(device);
  const KSDEVICE_DISPATCH *dispatch = DispatchOf(device);
  if (dispatch != nullptr && dispatch->SurpriseRemoval != nullptr) dispatch->SurpriseRemoval(&device->pub, irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(device, irp);
}

NTSTATUS Remove(DeviceObject *device, PIRP irp) {
  DisableFactoryInterfaces(device);
  const KSDEVICE_DISPATCH *dispatch = DispatchOf(device);
  if (dispatch != nullptr && dispatch->Remove != nullptr) dispatch->Remove(&device->pub, irp);
  device->pub.Started = FALSE;
  irp->IoStatus.Status = STATUS_SUCCESS;
  PDEVICE_OBJECT lower = device->pub.NextDeviceObject;
  NTSTATUS status = PassDown(device, irp);
  IoDetachDevice(lower);
  DestroyDevice(device);
  return status;
}

// The lower drivers answer first; a device whose PostStart failed adds
// PNP_DEVICE_FAILED.
NTSTATUS QueryDeviceState(DeviceObject *device, PIRP irp) {
  NTSTATUS status = ForwardAndWait(device, irp);
  if (status == STATUS_NOT_SUPPORTED) {
    status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
  }
  NTSTATUS postStart = device->postStartStatus;
  if (NT_SUCCESS(status) && !NT_SUCCESS(postStart) && postStart != STATUS_PENDING) {
    irp->IoStatus.Information |= PNP_DEVICE_FAILED;
  }
  return CompleteIrp(irp, status);
}

NTSTATUS QueryInterface(DeviceObject *device, PIRP irp) {
  const KSDEVICE_DISPATCH *dispatch = DispatchOf(device);
  if (dispatch != nullptr && dispatch->QueryInterface != nullptr) {
    NTSTATUS status = dispatch->QueryInterface(&device->pub, irp);
    if (NT_SUCCESS(status)) return CompleteIrp(irp, status);
  }
  return PassDown(device, irp);
}

}  // namespace

NTSTATUS DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp) {
  DeviceObject *device = DeviceFromFdo(fdo);
  if (device == nullptr) return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_STOP_DEVICE || minor == IRP_MN_REMOVE_DEVICE) WaitForPostStart(device);
  const KSDEVICE_DISPATCH *dispatch = DispatchOf(device);
  switch (minor) {
    case IRP_MN_START_DEVICE: return Start(device, irp);
    case IRP_MN_QUERY_CAPABILITIES: return QueryCapabilities(device, irp);
    case IRP_MN_QUERY_REMOVE_DEVICE: return Query(device, irp, dispatch ? dispatch->QueryRemove : nullptr);
    case IRP_MN_CANCEL_REMOVE_DEVICE: return Cancel(device, irp, dispatch ? dispatch->CancelRemove : nullptr);
    case IRP_MN_QUERY_STOP_DEVICE: return Query(device, irp, dispatch ? dispatch->QueryStop : nullptr);
    case IRP_MN_CANCEL_STOP_DEVICE: return Cancel(device, irp, dispatch ? dispatch->CancelStop : nullptr);
    case IRP_MN_STOP_DEVICE: return Stop(device, irp);
    case IRP_MN_SURPRISE_REMOVAL: return SurpriseRemoval(device, irp);
    case IRP_MN_REMOVE_DEVICE: return Remove(device, irp);
    case IRP_MN_QUERY_INTERFACE: return QueryInterface(device, irp);
    case IRP_MN_QUERY_PNP_DEVICE_STATE: return QueryDeviceState(device, irp);
    default: return PassDown(device, irp);
  }
}

}  // namespace winsim::ks
