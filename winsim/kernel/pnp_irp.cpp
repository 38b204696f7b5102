#include "winsim/kernel/pnp_irp.h"

#include <cstring>

#include "winsim/kernel/pnp_text.h"

namespace winsim::pnp {
namespace {

// Longest identifier or text taken from a bus driver's answer, in characters.
constexpr size_t kMaxAnswerChars = 4096;

NTSTATUS SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SendAndWait(PDEVICE_OBJECT target, const std::function<void(PIO_STACK_LOCATION)> &setup,
                     ULONG_PTR *information) {
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  setup(IoGetNextIrpStackLocation(irp));
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(target, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  NTSTATUS status = irp->IoStatus.Status;
  if (information != nullptr) *information = irp->IoStatus.Information;
  IoFreeIrp(irp);
  return status;
}

}  // namespace

NTSTATUS SendPnp(PDEVICE_OBJECT target, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup,
                 ULONG_PTR *information) {
  return SendAndWait(
      target,
      [&](PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = minor;
        if (setup) setup(stack);
      },
      information);
}

NTSTATUS SendPower(PDEVICE_OBJECT target, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                   POWER_ACTION action) {
  return SendAndWait(
      target,
      [&](PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_POWER;
        stack->MinorFunction = minor;
        stack->Parameters.Power.Type = type;
        stack->Parameters.Power.State = state;
        stack->Parameters.Power.ShutdownType = action;
      },
      nullptr);
}

PDEVICE_OBJECT ReferenceTop(PDEVICE_OBJECT pdo) { return IoGetAttachedDeviceReference(pdo); }

namespace {

// The pool buffer a successful query left in Information, or null.
PWCHAR QueryBuffer(PDEVICE_OBJECT target, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &setup) {
  ULONG_PTR information = 0;
  NTSTATUS status = SendPnp(target, minor, setup, &information);
  if (!NT_SUCCESS(status)) return nullptr;
  return reinterpret_cast<PWCHAR>(information);
}

}  // namespace

std::optional<std::u16string> QueryId(PDEVICE_OBJECT target, BUS_QUERY_ID_TYPE type) {
  PWCHAR buffer = QueryBuffer(target, IRP_MN_QUERY_ID,
                              [type](PIO_STACK_LOCATION stack) { stack->Parameters.QueryId.IdType = type; });
  if (buffer == nullptr) return std::nullopt;
  std::u16string id = TerminatedString(buffer, kMaxAnswerChars);
  ExFreePool(buffer);
  return id;
}

std::vector<std::u16string> QueryIdList(PDEVICE_OBJECT target, BUS_QUERY_ID_TYPE type) {
  PWCHAR buffer = QueryBuffer(target, IRP_MN_QUERY_ID,
                              [type](PIO_STACK_LOCATION stack) { stack->Parameters.QueryId.IdType = type; });
  if (buffer == nullptr) return {};
  std::vector<std::u16string> ids = SplitMultiSz(buffer, kMaxAnswerChars);
  ExFreePool(buffer);
  return ids;
}

std::optional<std::u16string> QueryDeviceText(PDEVICE_OBJECT target, DEVICE_TEXT_TYPE type) {
  PWCHAR buffer = QueryBuffer(target, IRP_MN_QUERY_DEVICE_TEXT, [type](PIO_STACK_LOCATION stack) {
    stack->Parameters.QueryDeviceText.DeviceTextType = type;
    stack->Parameters.QueryDeviceText.LocaleId = 0x409;
  });
  if (buffer == nullptr) return std::nullopt;
  std::u16string text = TerminatedString(buffer, kMaxAnswerChars);
  ExFreePool(buffer);
  return text;
}

void InitializeCapabilities(DEVICE_CAPABILITIES *capabilities) {
  std::memset(capabilities, 0, sizeof *capabilities);
  capabilities->Size = sizeof(DEVICE_CAPABILITIES);
  capabilities->Version = 1;
  capabilities->Address = 0xFFFFFFFF;
  capabilities->UINumber = 0xFFFFFFFF;
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT target, DEVICE_CAPABILITIES *capabilities) {
  InitializeCapabilities(capabilities);
  return SendPnp(target, IRP_MN_QUERY_CAPABILITIES, [capabilities](PIO_STACK_LOCATION stack) {
    stack->Parameters.DeviceCapabilities.Capabilities = capabilities;
  });
}

}  // namespace winsim::pnp
