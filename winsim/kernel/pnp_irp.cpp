#include "winsim/kernel/pnp_irp.h"

#include <cstring>

#include "winsim/kernel/pnp_text.h"
#include "winsim/kernel/pnp_watchdog.h"

namespace winsim::pnp {
namespace {

// Longest identifier or text taken from a bus driver's answer, in characters.
constexpr size_t kMaxAnswerChars = 4096;

std::string HexByte(UCHAR value) {
  const char digits[] = "0123456789ABCDEF";
  return {digits[value >> 4], digits[value & 0xF]};
}

std::string StateName(POWER_STATE_TYPE type, POWER_STATE state) {
  if (type == SystemPowerState) return "S" + std::to_string(static_cast<int>(state.SystemState) - 1);
  return "D" + std::to_string(static_cast<int>(state.DeviceState) - 1);
}

NTSTATUS SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The watchdog sees every IRP from the send to its return: a dispatch
// routine that never returns trips it as surely as an IRP left pending.
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
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  IrpWatchdog *watchdog = IrpWatchdog::Active();
  uint64_t token = watchdog != nullptr ? watchdog->Arm(irp, target, stack->MajorFunction == IRP_MJ_POWER,
                                                       IrpName(stack))
                                       : 0;
  NTSTATUS sent = IoCallDriver(target, irp);
  if (watchdog != nullptr) watchdog->Dispatched(token);
  if (sent == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  if (watchdog != nullptr) watchdog->Disarm(token);
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

std::string IrpName(const IO_STACK_LOCATION *stack) {
  if (stack->MajorFunction != IRP_MJ_POWER) return "IRP_MJ_PNP minor 0x" + HexByte(stack->MinorFunction);
  const char *minor = stack->MinorFunction == IRP_MN_SET_POWER     ? "SET_POWER"
                      : stack->MinorFunction == IRP_MN_QUERY_POWER ? "QUERY_POWER"
                                                                   : "power minor";
  return std::string(minor) + " " + StateName(stack->Parameters.Power.Type, stack->Parameters.Power.State);
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
