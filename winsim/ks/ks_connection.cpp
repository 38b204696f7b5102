// KSPROPSETID_Connection on pins: the state machine the minidriver sees one
// step at a time, and the connection's data format. Handlers run with the
// filter's control mutex held (the property path takes it).
#include <cstring>

#include "winsim/kernel/io_rules.h"
#include "winsim/ks/ks_automation.h"
#include "winsim/ks/ks_pin.h"

namespace winsim::ks {
namespace {

PinObject *PinOfIrp(PIRP irp) {
  ObjectHeader *object = ObjectOfIrp(irp);
  return object != nullptr && object->type == KsObjectTypePin ? reinterpret_cast<PinObject *>(object) : nullptr;
}

NTSTATUS CallSetDeviceState(PinObject *pin, KSSTATE to, KSSTATE from) {
  const KSPIN_DISPATCH *dispatch = DispatchOf(pin);
  if (dispatch == nullptr || dispatch->SetDeviceState == nullptr) return STATUS_SUCCESS;
  const uint32_t locks = LocksHeld();
  NTSTATUS status = dispatch->SetDeviceState(&pin->pub, to, from);
  RequireIrqlRestored("the minidriver's SetDeviceState", PASSIVE_LEVEL, std::source_location::current(), locks);
  return status;
}

bool HasQueuedFrames(PinObject *pin) {
  KIRQL irql;
  KeAcquireSpinLock(&pin->queueLock, &irql);
  bool queued = !IsListEmpty(&pin->frames);
  KeReleaseSpinLock(&pin->queueLock, irql);
  return queued;
}

// The range of the pin the format falls in, or NULL.
const KSDATARANGE *MatchingRange(const PinObject *pin, const KSDATAFORMAT &format) {
  const KSPIN_DESCRIPTOR &info = pin->pub.Descriptor->PinDescriptor;
  for (ULONG i = 0; i < info.DataRangesCount && info.DataRanges != nullptr; ++i) {
    if (RangeMatches(format, *info.DataRanges[i])) return info.DataRanges[i];
  }
  return nullptr;
}

}  // namespace

NTSTATUS ChangeState(PinObject *pin, KSSTATE target) {
  if (target < KSSTATE_STOP || target > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
  pin->pub.ClientState = target;
  while (pin->pub.DeviceState != target) {
    const KSSTATE from = pin->pub.DeviceState;
    const auto to = static_cast<KSSTATE>(from < target ? from + 1 : from - 1);
    NTSTATUS status = CallSetDeviceState(pin, to, from);
    if (!NT_SUCCESS(status)) {
      pin->pub.ClientState = from;
      return status;
    }
    pin->pub.DeviceState = to;
    // Stopping gives every queued frame back to its caller.
    if (to == KSSTATE_STOP) FlushQueue(pin, STATUS_CANCELLED);
  }
  const KSPIN_DESCRIPTOR_EX *descriptor = pin->pub.Descriptor;
  if (ProcessingAllowed(pin) && HasQueuedFrames(pin) && !(descriptor->Flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING)) {
    AttemptProcessing(pin, true);
  }
  return STATUS_SUCCESS;
}

NTSTATUS GetConnectionState(PIRP irp, PKSIDENTIFIER, PVOID data) {
  PinObject *pin = PinOfIrp(irp);
  if (pin == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  KSSTATE state = pin->pub.DeviceState;
  std::memcpy(data, &state, sizeof(state));
  irp->IoStatus.Information = sizeof(state);
  return STATUS_SUCCESS;
}

NTSTATUS SetConnectionState(PIRP irp, PKSIDENTIFIER, PVOID data) {
  PinObject *pin = PinOfIrp(irp);
  if (pin == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  KSSTATE state;
  std::memcpy(&state, data, sizeof(state));
  return ChangeState(pin, state);
}

NTSTATUS GetConnectionFormat(PIRP irp, PKSIDENTIFIER, PVOID data) {
  PinObject *pin = PinOfIrp(irp);
  if (pin == nullptr || pin->pub.ConnectionFormat == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  const ULONG size = pin->pub.ConnectionFormat->FormatSize;
  NTSTATUS status =
      RequireDataSize(irp, IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength, size);
  if (!NT_SUCCESS(status)) return status;
  std::memcpy(data, pin->pub.ConnectionFormat, size);
  irp->IoStatus.Information = size;
  return STATUS_SUCCESS;
}

// A new format must fall in one of the pin's ranges and be accepted by the
// minidriver's SetDataFormat; a refusal leaves the old format in place.
NTSTATUS SetConnectionFormat(PIRP irp, PKSIDENTIFIER, PVOID data) {
  PinObject *pin = PinOfIrp(irp);
  if (pin == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  ULONG given = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  if (given < sizeof(KSDATAFORMAT)) return STATUS_INVALID_BUFFER_SIZE;
  auto *format = static_cast<PKSDATAFORMAT>(data);
  if (format->FormatSize < sizeof(KSDATAFORMAT) || format->FormatSize > given) return STATUS_INVALID_BUFFER_SIZE;
  if (pin->pub.Descriptor->Flags & KSPIN_FLAG_FIXED_FORMAT) return STATUS_INVALID_DEVICE_REQUEST;
  const KSDATARANGE *range = MatchingRange(pin, *format);
  if (range == nullptr) return STATUS_NO_MATCH;
  auto *copy = static_cast<PKSDATAFORMAT>(ExAllocatePoolWithTag(NonPagedPoolNx, format->FormatSize, kPinTag));
  if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(copy, format, format->FormatSize);
  PKSDATAFORMAT old = pin->pub.ConnectionFormat;
  pin->pub.ConnectionFormat = copy;
  const KSPIN_DISPATCH *dispatch = DispatchOf(pin);
  NTSTATUS status = STATUS_SUCCESS;
  if (dispatch != nullptr && dispatch->SetDataFormat != nullptr) {
    status = dispatch->SetDataFormat(&pin->pub, old, nullptr, range, nullptr);
  }
  PKSDATAFORMAT drop = NT_SUCCESS(status) ? old : copy;
  if (!NT_SUCCESS(status)) pin->pub.ConnectionFormat = old;
  if (drop != nullptr) ExFreePoolWithTag(drop, kPinTag);
  return status;
}

}  // namespace winsim::ks
