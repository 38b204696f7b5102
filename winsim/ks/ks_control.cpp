// IRP_MJ_DEVICE_CONTROL and IRP_MJ_CLEANUP of filters and pins: properties,
// methods and events through the automation tables, stream requests and
// reset on pins.
#include <cstring>
#include <string>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/ks/ks_automation.h"
#include "winsim/ks/ks_pin.h"
#include "winsim/ks/ks_runtime.h"

namespace winsim::ks {

NTSTATUS EnableEvent(ObjectHeader *owner, PIRP irp);
NTSTATUS DisableEvent(ObjectHeader *owner, PIRP irp);
void DisableFileEvents(ObjectHeader *owner, PFILE_OBJECT file);

namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS Reset(PinObject *pin, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(KSRESET)) return STATUS_INVALID_BUFFER_SIZE;
  KSRESET reset;
  std::memcpy(&reset, stack->Parameters.DeviceIoControl.Type3InputBuffer, sizeof(reset));
  FilterRuntime *runtime = RuntimeOfPin(pin);
  AcquireMutex(&runtime->control, "IOCTL_KS_RESET_STATE", std::source_location::current());
  NTSTATUS status = ResetState(pin, reset);
  ReleaseMutex(&runtime->control, "IOCTL_KS_RESET_STATE", std::source_location::current());
  return status;
}

}  // namespace

NTSTATUS DispatchDeviceControl(PVOID target, PIRP irp) {
  NTSTATUS status = RouteObjectControl(target, irp);
  return status == STATUS_PENDING ? status : Complete(irp, status);
}

NTSTATUS RouteObjectControl(PVOID target, PIRP irp) {
  const auto site = std::source_location::current();
  RequirePassive("a KS device control", site);
  irp->IoStatus.Information = 0;
  ObjectHeader *object = LiveObject(target, "a KS device control", site);
  if (object == nullptr || (object->type != KsObjectTypeFilter && object->type != KsObjectTypePin)) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  auto *pin = object->type == KsObjectTypePin ? reinterpret_cast<PinObject *>(object) : nullptr;
  const ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  switch (code) {
    case IOCTL_KS_PROPERTY: status = HandleProperty(object, irp); break;
    case IOCTL_KS_METHOD: status = HandleMethod(object, irp); break;
    case IOCTL_KS_ENABLE_EVENT: status = EnableEvent(object, irp); break;
    case IOCTL_KS_DISABLE_EVENT: status = DisableEvent(object, irp); break;
    case IOCTL_KS_WRITE_STREAM:
    case IOCTL_KS_READ_STREAM:
      if (pin == nullptr) break;
      status = QueueStreamIrp(pin, irp, code == IOCTL_KS_WRITE_STREAM);
      break;
    case IOCTL_KS_RESET_STATE:
      if (pin != nullptr) status = Reset(pin, irp);
      break;
    default: break;
  }
  return status;
}

void CleanupObject(PVOID target, PFILE_OBJECT fileObject) {
  const auto site = std::source_location::current();
  RequirePassive("a KS cleanup", site);
  ObjectHeader *object = LiveObject(target, "a KS cleanup", site);
  if (object == nullptr) return;
  if (object->type == KsObjectTypePin) FlushQueue(reinterpret_cast<PinObject *>(object), STATUS_CANCELLED, fileObject);
  DisableFileEvents(object, fileObject);
}

}  // namespace winsim::ks
