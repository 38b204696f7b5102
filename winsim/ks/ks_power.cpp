// IRP_MJ_POWER for AVStream devices. ks.sys owns the device's power policy:
// a system QUERY_POWER asks the minidriver's QueryPower (with the device
// state the system state maps to and the power action); a system SET_POWER
// goes down, then ks requests the matching device SET_POWER, and the
// minidriver's SetPower runs before the device powers down and after it
// has powered up. DO_POWER_PAGABLE: every callback runs at PASSIVE_LEVEL.
#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/ks/ks_dispatch.h"

namespace winsim::ks {
namespace {

// The device state for a system state: D0 when working, else what the
// stack's capabilities name (D3 when it names none).
DEVICE_POWER_STATE DeviceStateFor(const DeviceObject *device, SYSTEM_POWER_STATE system) {
  if (system == PowerSystemWorking) return PowerDeviceD0;
  if (device->capabilitiesKnown && system > PowerSystemUnspecified && system < PowerSystemMaximum) {
    DEVICE_POWER_STATE mapped = device->capabilities.DeviceState[system];
    if (mapped > PowerDeviceUnspecified && mapped < PowerDeviceMaximum) return mapped;
  }
  return PowerDeviceD3;
}

NTSTATUS PassPowerDown(DeviceObject *device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(device->pub.NextDeviceObject, irp);
}

NTSTATUS QuerySystemPower(DeviceObject *device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const KSDEVICE_DISPATCH *dispatch = DispatchOf(device);
  if (device->pub.Started && dispatch != nullptr && dispatch->QueryPower != nullptr) {
    SYSTEM_POWER_STATE to = stack->Parameters.Power.State.SystemState;
    NTSTATUS status = dispatch->QueryPower(&device->pub, irp, DeviceStateFor(device, to), device->pub.DevicePowerState,
                                           to, device->pub.SystemPowerState, stack->Parameters.Power.ShutdownType);
    RequireIrqlRestored("the minidriver's QueryPower", PASSIVE_LEVEL, std::source_location::current());
    if (!NT_SUCCESS(status)) {
      PoStartNextPowerIrp(irp);
      return CompleteIrp(irp, status);
    }
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassPowerDown(device, irp);
}

void DeviceIrpDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
  auto systemIrp = static_cast<PIRP>(context);
  PoStartNextPowerIrp(systemIrp);
  IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

// The system IRP came back from the bus: request the device state it maps
// to and finish the system IRP when that is done.
NTSTATUS SystemIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *device = static_cast<DeviceObject *>(context);
  if (!NT_SUCCESS(irp->IoStatus.Status) || !device->pub.Started) {
    PoStartNextPowerIrp(irp);
    return STATUS_CONTINUE_COMPLETION;
  }
  POWER_STATE target;
  target.DeviceState = DeviceStateFor(device, IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState);
  if (target.DeviceState == device->pub.DevicePowerState) {
    PoStartNextPowerIrp(irp);
    return STATUS_CONTINUE_COMPLETION;
  }
  NTSTATUS status = PoRequestPowerIrp(device->pub.PhysicalDeviceObject, IRP_MN_SET_POWER, target, DeviceIrpDone, irp,
                                      nullptr);
  if (!NT_SUCCESS(status)) {
    irp->IoStatus.Status = status;
    PoStartNextPowerIrp(irp);
    return STATUS_CONTINUE_COMPLETION;
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SetSystemPower(DeviceObject *device, PIRP irp) {
  device->pub.SystemPowerState = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
  IoMarkIrpPending(irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SystemIrpDone, device, TRUE, TRUE, TRUE);
  PoCallDriver(device->pub.NextDeviceObject, irp);
  return STATUS_PENDING;
}

void SetPowerCallback(DeviceObject *device, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
  const KSDEVICE_DISPATCH *dispatch = DispatchOf(device);
  if (dispatch == nullptr || dispatch->SetPower == nullptr) return;
  dispatch->SetPower(&device->pub, irp, to, from);
  RequireIrqlRestored("the minidriver's SetPower", PASSIVE_LEVEL, std::source_location::current());
}

void RecordDeviceState(DeviceObject *device, DEVICE_POWER_STATE state) {
  device->pub.DevicePowerState = state;
  POWER_STATE recorded;
  recorded.DeviceState = state;
  PoSetPowerState(device->pub.FunctionalDeviceObject, DevicePowerState, recorded);
}

NTSTATUS SetDevicePower(DeviceObject *device, PIRP irp) {
  DEVICE_POWER_STATE to = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState;
  DEVICE_POWER_STATE from = device->pub.DevicePowerState;
  if (to > from) {
    SetPowerCallback(device, irp, to, from);
    RecordDeviceState(device, to);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassPowerDown(device, irp);
  }
  if (to < from) {
    RequirePassive("a device power-up IRP", std::source_location::current());
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = ForwardAndWait(device, irp);
    if (NT_SUCCESS(status)) {
      RecordDeviceState(device, to);
      SetPowerCallback(device, irp, to, from);
    }
    PoStartNextPowerIrp(irp);
    return CompleteIrp(irp, status);
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassPowerDown(device, irp);
}

}  // namespace

NTSTATUS DispatchPower(PDEVICE_OBJECT fdo, PIRP irp) {
  DeviceObject *device = DeviceFromFdo(fdo);
  if (device == nullptr) {
    PoStartNextPowerIrp(irp);
    return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  bool system = stack->Parameters.Power.Type == SystemPowerState;
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_POWER:
      if (system) return QuerySystemPower(device, irp);
      break;
    case IRP_MN_SET_POWER: return system ? SetSystemPower(device, irp) : SetDevicePower(device, irp);
    default: break;
  }
  return PassPowerDown(device, irp);
}

}  // namespace winsim::ks
