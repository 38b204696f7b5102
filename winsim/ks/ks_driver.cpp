// KsInitializeDriver and the dispatch routines that are not PnP or power:
// create opens a filter on a factory's create item (or routes a create
// relative to an open object), close closes it, device control is routed by
// the object a file stands for; system control passes down.
#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/ks/ks_device.h"
#include "winsim/ks/ks_dispatch.h"
#include "winsim/ks/ks_filter.h"
#include "winsim/ks/ks_runtime.h"

#include <string_view>

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

namespace {

// A create's file name without its leading backslash.
std::u16string_view CreateName(PIO_STACK_LOCATION stack) {
  const UNICODE_STRING &name = stack->FileObject->FileName;
  std::u16string_view text(name.Buffer != nullptr ? name.Buffer : u"", name.Length / sizeof(WCHAR));
  if (!text.empty() && text.front() == u'\\') text.remove_prefix(1);
  return text;
}

bool SameName(std::u16string_view a, PCWSTR b) {
  size_t i = 0;
  for (; i < a.size(); ++i) {
    if (b[i] == u'\0' || RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
  }
  return b[i] == u'\0';
}

// The factory whose create item (its reference string) the name matches,
// compared without regard to case as ks.sys does: user mode hands out the
// interface path in lower case.
FactoryObject *FactoryNamed(DeviceObject *device, std::u16string_view name) {
  for (ObjectHeader *child = FirstChild(&device->header); child != nullptr; child = NextSibling(child)) {
    auto *factory = reinterpret_cast<FactoryObject *>(child);
    if (child->type != KsObjectTypeFilterFactory) continue;
    PCWSTR reference = factory->referenceString != nullptr ? factory->referenceString : u"";
    if (SameName(name, reference)) return factory;
  }
  return nullptr;
}

NTSTATUS CreateFilter(DeviceObject *device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  // Creates wait while PostStart (which makes the factories) runs.
  KeWaitForSingleObject(&device->postStartIdle, Executive, KernelMode, FALSE, nullptr);
  KsAcquireDevice(&device->pub);
  FactoryObject *factory = FactoryNamed(device, CreateName(stack));
  KsReleaseDevice(&device->pub);
  if (factory == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  FilterObject *filter = nullptr;
  NTSTATUS status = OpenFilterInstance(factory, &filter);
  if (NT_SUCCESS(status)) stack->FileObject->FsContext = &filter->header;
  return status;
}

// The AVStream object a file object of this driver stands for, or NULL.
ObjectHeader *ObjectOfFile(PFILE_OBJECT file) {
  if (file == nullptr || file->FsContext == nullptr) return nullptr;
  return HeaderOf(PublicOf(static_cast<ObjectHeader *>(file->FsContext)));
}

}  // namespace

// The routing point for objects under a filter or pin: a create relative to
// the object's file (a pin is created relative to its filter with the name
// KSSTRING_Pin, a backslash, then the KSPIN_CONNECT and its data format as
// binary, taken by the name's length) and IRP_MJ_DEVICE_CONTROL on its file
// (the IOCTL_KS_* requests, METHOD_NEITHER from user mode). A created object
// puts its header in the new file object's FsContext. Until an object type
// serves them, they are answered as ks.sys answers an unknown create item
// and an unsupported request.
NTSTATUS RouteCreate(ObjectHeader *parent, PIRP irp) {
  switch (parent->type) {
    case KsObjectTypeFilter: {
      PKSPIN pin = nullptr;
      NTSTATUS status = RoutePinCreate(static_cast<PKSFILTER>(PublicOf(parent)), irp, &pin);
      if (NT_SUCCESS(status)) IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext = HeaderOf(pin);
      return status;
    }
    case KsObjectTypePin:
    default:
      (void)irp;
      return STATUS_OBJECT_NAME_NOT_FOUND;
  }
}

NTSTATUS RouteDeviceControl(ObjectHeader *object, PIRP irp) {
  switch (object->type) {
    case KsObjectTypeFilter:
    case KsObjectTypePin: return RouteObjectControl(PublicOf(object), irp);
    default:
      (void)irp;
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT fdo, PIRP irp) {
  irp->IoStatus.Information = 0;
  DeviceObject *device = DeviceFromFdo(fdo);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (device == nullptr || stack->FileObject == nullptr) return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
  if (stack->FileObject->RelatedFileObject == nullptr) return CompleteIrp(irp, CreateFilter(device, irp));
  ObjectHeader *parent = ObjectOfFile(stack->FileObject->RelatedFileObject);
  if (parent == nullptr) return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
  // No new object (a pin on a filter still open) of a device that is gone,
  // as no new filter opens either.
  if (device->surpriseRemoved) return CompleteIrp(irp, STATUS_DEVICE_REMOVED);
  NTSTATUS status = RouteCreate(parent, irp);
  return status == STATUS_PENDING ? status : CompleteIrp(irp, status);
}

// The last handle of a file went: its queued stream requests and the events
// it enabled go with it.
NTSTATUS DispatchCleanup(PDEVICE_OBJECT fdo, PIRP irp) {
  (void)fdo;
  irp->IoStatus.Information = 0;
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  ObjectHeader *object = ObjectOfFile(file);
  if (object != nullptr && (object->type == KsObjectTypeFilter || object->type == KsObjectTypePin)) {
    CleanupObject(PublicOf(object), file);
  }
  return CompleteIrp(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT fdo, PIRP irp) {
  (void)fdo;
  irp->IoStatus.Information = 0;
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  ObjectHeader *object = ObjectOfFile(file);
  if (object != nullptr && object->type == KsObjectTypeFilter) {
    CloseFilterInstance(reinterpret_cast<FilterObject *>(object));
    file->FsContext = nullptr;
  } else if (object != nullptr && object->type == KsObjectTypePin) {
    ClosePin(static_cast<PKSPIN>(PublicOf(object)));
    file->FsContext = nullptr;
  }
  return CompleteIrp(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT fdo, PIRP irp) {
  irp->IoStatus.Information = 0;
  DeviceObject *device = DeviceFromFdo(fdo);
  ObjectHeader *object = ObjectOfFile(IoGetCurrentIrpStackLocation(irp)->FileObject);
  if (device == nullptr || object == nullptr) return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
  // The device is gone: requests on handles still open fail as Windows
  // reports a removed device.
  if (device->surpriseRemoved) return CompleteIrp(irp, STATUS_DEVICE_REMOVED);
  NTSTATUS status = RouteDeviceControl(object, irp);
  return status == STATUS_PENDING ? status : CompleteIrp(irp, status);
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
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  DriverObject->DriverUnload = KsNullDriverUnload;
  return STATUS_SUCCESS;
}

VOID KsNullDriverUnload(PDRIVER_OBJECT DriverObject) { ForgetDriver(DriverObject); }
