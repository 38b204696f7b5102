// IRP_MJ_PNP and IRP_MJ_POWER on a hub PDO, as a bus driver answers them:
// requests it does not handle complete with the status they came with.
// PASSIVE_LEVEL, as the PnP manager sends them.
#include <usbbusif.h>

#include <cstdio>

#include "winsim/usb/bus_interface.h"
#include "winsim/usb/urb_request.h"
#include "winsim/usb/usb_bus.h"
#include "winsim/usb/usb_pdo.h"

namespace winsim::usb {
namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Information carries a pool buffer the PnP manager frees; null means pool ran out.
NTSTATUS WithBuffer(PIRP irp, PVOID buffer) {
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
  return STATUS_SUCCESS;
}

std::u16string Widen(const char *text) {
  std::u16string wide;
  for (; *text != '\0'; ++text) wide.push_back(static_cast<char16_t>(*text));
  return wide;
}

void FillPowerMap(DEVICE_CAPABILITIES &caps) {
  caps.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
  caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state) caps.DeviceState[state] = PowerDeviceD3;
  caps.SystemWake = PowerSystemUnspecified;
  caps.DeviceWake = PowerDeviceUnspecified;
}

}  // namespace

NTSTATUS UsbPdo::QueryId(PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID: return WithBuffer(irp, PoolString(m_ids.deviceId));
    case BusQueryHardwareIDs: return WithBuffer(irp, PoolMultiString(m_ids.hardwareIds));
    case BusQueryCompatibleIDs:
      if (m_ids.compatibleIds.empty()) break;
      return WithBuffer(irp, PoolMultiString(m_ids.compatibleIds));
    case BusQueryInstanceID: return WithBuffer(irp, PoolString(m_ids.instanceId));
    case BusQueryDeviceSerialNumber:
      if (m_enumerated.serial.empty()) break;
      return WithBuffer(irp, PoolString(m_enumerated.serial));
    default: break;
  }
  return irp->IoStatus.Status;
}

NTSTATUS UsbPdo::QueryCapabilities(PIRP irp) {
  PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  if (caps == nullptr || caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) return STATUS_UNSUCCESSFUL;
  caps->DeviceD1 = caps->DeviceD2 = FALSE;
  caps->LockSupported = caps->EjectSupported = caps->DockDevice = FALSE;
  caps->Removable = TRUE;
  caps->SurpriseRemovalOK = TRUE;
  caps->UniqueID = m_ids.instanceId == m_enumerated.serial && !m_enumerated.serial.empty();
  caps->RawDeviceOK = caps->SilentInstall = FALSE;
  caps->WakeFromD0 = caps->WakeFromD1 = caps->WakeFromD2 = caps->WakeFromD3 = FALSE;
  caps->Address = static_cast<ULONG>(m_port);
  caps->UINumber = static_cast<ULONG>(m_port);
  FillPowerMap(*caps);
  caps->D1Latency = caps->D2Latency = caps->D3Latency = 0;
  return STATUS_SUCCESS;
}

NTSTATUS UsbPdo::QueryDeviceText(PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceText.DeviceTextType) {
    case DeviceTextDescription:
      return WithBuffer(irp, PoolString(m_enumerated.product.empty() ? u"USB Device" : m_enumerated.product));
    case DeviceTextLocationInformation: {
      char location[40];
      std::snprintf(location, sizeof location, "Port_#%04d.Hub_#%04u", m_port, m_bus.Number());
      return WithBuffer(irp, PoolString(Widen(location)));
    }
  }
  return irp->IoStatus.Status;
}

NTSTATUS UsbPdo::QueryTargetRelation(PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) {
    return irp->IoStatus.Status;
  }
  auto *relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kHubPnpTag));
  if (relations == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  relations->Count = 1;
  relations->Objects[0] = m_device;
  ObReferenceObject(m_device);
  return WithBuffer(irp, relations);
}

NTSTATUS UsbPdo::DispatchPnp(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      if (!m_present.load()) return Complete(irp, STATUS_DEVICE_NOT_CONNECTED);
      SetState(PdoState::Started);
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE: SetState(PdoState::Stopped); return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE: return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_SURPRISE_REMOVAL:
      SetState(PdoState::SurpriseRemoved);
      AbortEverything();
      return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
      // The device may still be on the bus (its driver was disabled): then
      // the PDO stays for the next stack, unconfigured.
      SetState(PdoState::Removed);
      AbortEverything();
      CommitConfiguration({}, {});
      Complete(irp, STATUS_SUCCESS);
      DeleteIfDone();
      return STATUS_SUCCESS;
    case IRP_MN_QUERY_ID: return Complete(irp, QueryId(irp));
    case IRP_MN_QUERY_CAPABILITIES: return Complete(irp, QueryCapabilities(irp));
    case IRP_MN_QUERY_DEVICE_TEXT: return Complete(irp, QueryDeviceText(irp));
    case IRP_MN_QUERY_DEVICE_RELATIONS: return Complete(irp, QueryTargetRelation(irp));
    case IRP_MN_QUERY_INTERFACE:
      if (stack->Parameters.QueryInterface.InterfaceType != nullptr &&
          *stack->Parameters.QueryInterface.InterfaceType == USB_BUS_INTERFACE_USBDI_GUID) {
        return Complete(irp, QueryUsbBusInterface(*this, stack));
      }
      break;
    default: break;
  }
  return Complete(irp, irp->IoStatus.Status);
}

// Winsim's power manager has no PoStartNextPowerIrp/PoCallDriver: a bus
// driver's PDO simply completes the power IRPs it accepts.
NTSTATUS UsbPdo::DispatchPower(PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER: return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE: return Complete(irp, STATUS_NOT_SUPPORTED);
    default: return Complete(irp, irp->IoStatus.Status);
  }
}

}  // namespace winsim::usb
