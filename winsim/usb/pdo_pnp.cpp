// IRP_MJ_PNP and IRP_MJ_POWER on a hub PDO, as a bus driver answers them:
// requests it does not handle complete with the status they came with.
// PASSIVE_LEVEL, as the PnP manager sends them.
#include <usbbusif.h>

#include <atomic>
#include <cstdio>

#include "winsim/usb/bus_interface.h"
#include "winsim/usb/hub_enumeration.h"
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

namespace {

std::atomic<bool> g_sleepCutsBusPower{false};
constexpr uint32_t kMaxInterfaces = 32;

}  // namespace

void UsbPdo::SetSleepCutsBusPower(bool cuts) { g_sleepCutsBusPower.store(cuts); }

bool UsbPdo::RefuseWhilePoweredDown() {
  if (m_devicePower.load() == PowerDeviceD0) return false;
  m_refusedPoweredDown.fetch_add(1);
  return true;
}

// The schedule stops for a suspended port: isochronous transfers still
// pending end cancelled (a driver should have stopped them first). The
// status interrupt and other polled transfers stay pending, as the hub
// keeps them across a suspend.
void UsbPdo::PowerDown(DEVICE_POWER_STATE state, POWER_ACTION action) {
  m_devicePower.store(state);
  std::vector<uint8_t> iso;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    for (uint32_t number = 0; number < kMaxInterfaces; ++number) {
      const InterfaceSetting *setting = m_pipes.FindInterface(static_cast<uint8_t>(number));
      if (setting == nullptr) continue;
      for (const PipeInfo &pipe : setting->pipes) {
        auto pending = m_inFlight.find(pipe.endpoint);
        if (pipe.type != UsbdPipeTypeIsochronous || pending == m_inFlight.end()) continue;
        iso.push_back(pipe.endpoint);
        m_cancelledAtPowerDown.fetch_add(pending->second);
      }
    }
  }
  AbortEndpoints(iso);
  bool cut = action >= PowerActionHibernate || (action == PowerActionSleep && g_sleepCutsBusPower.load());
  if (cut && m_present.load()) {
    m_powerLost.store(true);
    m_function->PowerLoss(Scheduler::Active()->Now());
  }
}

void UsbPdo::PowerUp() {
  if (m_powerLost.exchange(false) && m_present.load()) RestoreConfiguration();
  m_devicePower.store(PowerDeviceD0);
}

// SET_CONFIGURATION with the value the driver selected (none when it had
// deconfigured the device).
void UsbPdo::RestoreConfiguration() {
  std::vector<uint8_t> configuration = SelectedConfiguration();
  if (configuration.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return;
  uint8_t value = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR *>(configuration.data())->bConfigurationValue;
  SetupPacket setup{0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0};
  ControlTransferSync(Controller(), m_port, setup, nullptr, nullptr);
}

namespace {

// Device SET_POWER runs at PASSIVE_LEVEL (the stacks are power pageable).
NTSTATUS SetPower(UsbPdo &pdo, PIO_STACK_LOCATION stack) {
  if (stack->Parameters.Power.Type != DevicePowerState) return STATUS_SUCCESS;
  DEVICE_POWER_STATE to = stack->Parameters.Power.State.DeviceState;
  if (to == PowerDeviceD0) {
    pdo.PowerUp();
  } else if (to > PowerDeviceD0 && to < PowerDeviceMaximum) {
    pdo.PowerDown(to, stack->Parameters.Power.ShutdownType);
  }
  return STATUS_SUCCESS;
}

}  // namespace

// Winsim's power manager has no PoStartNextPowerIrp/PoCallDriver: a bus
// driver's PDO simply completes the power IRPs it accepts.
NTSTATUS UsbPdo::DispatchPower(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER: return Complete(irp, SetPower(*this, stack));
    case IRP_MN_QUERY_POWER: return Complete(irp, STATUS_SUCCESS);
    case IRP_MN_WAIT_WAKE: return Complete(irp, STATUS_NOT_SUPPORTED);
    default: return Complete(irp, irp->IoStatus.Status);
  }
}

}  // namespace winsim::usb
