// SELECT_CONFIGURATION and SELECT_INTERFACE. The stack reads the
// configuration descriptor the driver passes in the URB (a driver may have
// lowered bInterval in its copy), keeps that copy for later interface
// selections, and commits new pipes only once the device accepted
// SET_CONFIGURATION or SET_INTERFACE; the old setting's pipes are aborted
// before the request goes out. Periodic bandwidth for the new pipes is
// reserved on the bus before the request goes out (a setting the bus has no
// room for fails with USBD_STATUS_NO_BANDWIDTH and the old one stays) and
// given back if the device refuses it.
#include <algorithm>
#include <cstring>
#include <memory>

#include "winsim/usb/descriptor_walk.h"
#include "winsim/usb/host_controller.h"
#include "winsim/usb/urb_handlers.h"
#include "winsim/usb/urb_request.h"
#include "winsim/usb/usb_pdo.h"

namespace winsim::usb {
namespace {

size_t InterfaceInfoSize(size_t pipes) {
  return offsetof(USBD_INTERFACE_INFORMATION, Pipes) + pipes * sizeof(USBD_PIPE_INFORMATION);
}

void FillInterfaceInformation(const InterfaceSetting &setting, PUSBD_INTERFACE_INFORMATION info) {
  info->Class = setting.interfaceClass;
  info->SubClass = setting.subClass;
  info->Protocol = setting.protocol;
  info->InterfaceHandle = setting.handle;
  info->NumberOfPipes = static_cast<ULONG>(setting.pipes.size());
  PUSBD_PIPE_INFORMATION pipes = info->Pipes;
  for (size_t i = 0; i < setting.pipes.size(); ++i) FillPipeInformation(setting.pipes[i], &pipes[i]);
}

// Reads the setting an interface information block asks for and checks
// that the block has room for its pipes inside the URB.
USBD_STATUS ReadRequestedSetting(std::span<const uint8_t> configuration, PUSBD_INTERFACE_INFORMATION info,
                                 size_t roomInUrb, bool highSpeed, InterfaceSetting *setting) {
  if (roomInUrb < offsetof(USBD_INTERFACE_INFORMATION, Pipes)) return USBD_STATUS_INVALID_PARAMETER;
  USBD_STATUS status =
      PipeTable::DescribeSetting(configuration, info->InterfaceNumber, info->AlternateSetting, highSpeed, setting);
  if (!USBD_SUCCESS(status)) return status;
  if (info->Length < InterfaceInfoSize(setting->pipes.size()) || info->Length > roomInUrb) {
    return USBD_STATUS_INVALID_PARAMETER;
  }
  return USBD_STATUS_SUCCESS;
}

std::vector<PeriodicEndpoint> PeriodicLoad(const InterfaceSetting &setting) {
  constexpr uint32_t kTransactionBytes = 1024;
  std::vector<PeriodicEndpoint> load;
  for (const PipeInfo &pipe : setting.pipes) {
    if (pipe.type != UsbdPipeTypeIsochronous && pipe.type != UsbdPipeTypeInterrupt) continue;
    const uint32_t transactions = std::max<uint32_t>(1, (pipe.maxPacketBytes + kTransactionBytes - 1) / kTransactionBytes);
    load.push_back({pipe.maxPacketBytes, transactions, pipe.intervalMicroframes,
                    pipe.type == UsbdPipeTypeIsochronous});
  }
  return load;
}

NTSTATUS Deconfigure(UsbPdo &pdo, PIRP irp, PURB urb) {
  pdo.AbortEndpoints(pdo.OpenEndpoints());
  SetupPacket setup{0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0};
  return SendNoDataRequest(pdo, irp, urb, setup, [&pdo, urb](const Transfer &t) {
    // The pipes are closed whatever the device answered.
    pdo.CommitConfiguration({}, {});
    pdo.Controller().RestorePeriodic(pdo.Port(), {});
    urb->UrbSelectConfiguration.ConfigurationHandle = nullptr;
    return t.status;
  });
}

}  // namespace

NTSTATUS HandleSelectConfiguration(UsbPdo &pdo, PIRP irp, PURB urb) {
  auto &r = urb->UrbSelectConfiguration;
  const size_t urbLength = urb->UrbHeader.Length;
  if (urbLength < offsetof(struct _URB_SELECT_CONFIGURATION, Interface)) {
    return CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  if (r.ConfigurationDescriptor == nullptr) return Deconfigure(pdo, irp, urb);
  const auto *descriptor = reinterpret_cast<const uint8_t *>(r.ConfigurationDescriptor);
  uint16_t total = ConfigurationTotalLength(descriptor, UINT16_MAX);
  if (total == 0) return CompleteUrbNow(irp, urb, USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR);
  std::vector<uint8_t> configuration(descriptor, descriptor + total);
  const uint8_t interfaceCount = r.ConfigurationDescriptor->bNumInterfaces;
  std::vector<InterfaceSetting> settings(interfaceCount);
  std::vector<PUSBD_INTERFACE_INFORMATION> infos;
  size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  for (uint8_t i = 0; i < interfaceCount; ++i) {
    auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t *>(urb) + offset);
    size_t room = urbLength > offset ? urbLength - offset : 0;
    USBD_STATUS status = ReadRequestedSetting(configuration, info, room, pdo.HighSpeed(), &settings[i]);
    if (!USBD_SUCCESS(status)) return CompleteUrbNow(irp, urb, status);
    infos.push_back(info);
    offset += info->Length;
  }
  PeriodicBudget::PortBookings load, previous;
  for (const InterfaceSetting &setting : settings) load[setting.number] = PeriodicLoad(setting);
  USBD_STATUS bandwidth = pdo.Controller().ReservePeriodicPort(pdo.Port(), load, &previous);
  if (!USBD_SUCCESS(bandwidth)) return CompleteUrbNow(irp, urb, bandwidth);
  pdo.AbortEndpoints(pdo.OpenEndpoints());
  uint8_t value = r.ConfigurationDescriptor->bConfigurationValue;
  SetupPacket setup{0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0};
  auto commit = [&pdo, urb, infos, settings = std::move(settings),
                 configuration = std::move(configuration), previous](const Transfer &t) mutable {
    if (!USBD_SUCCESS(t.status)) {
      pdo.Controller().RestorePeriodic(pdo.Port(), previous);
      return t.status;
    }
    for (size_t i = 0; i < infos.size(); ++i) FillInterfaceInformation(settings[i], infos[i]);
    urb->UrbSelectConfiguration.ConfigurationHandle =
        pdo.CommitConfiguration(std::move(configuration), std::move(settings));
    return t.status;
  };
  return SendNoDataRequest(pdo, irp, urb, setup, std::move(commit));
}

NTSTATUS HandleSelectInterface(UsbPdo &pdo, PIRP irp, PURB urb) {
  auto &r = urb->UrbSelectInterface;
  const size_t urbLength = urb->UrbHeader.Length;
  constexpr size_t kInterfaceOffset = offsetof(struct _URB_SELECT_INTERFACE, Interface);
  if (urbLength < kInterfaceOffset || r.ConfigurationHandle == nullptr ||
      r.ConfigurationHandle != pdo.ConfigurationHandle()) {
    return CompleteUrbNow(irp, urb, USBD_STATUS_INVALID_PARAMETER);
  }
  std::vector<uint8_t> configuration = pdo.SelectedConfiguration();
  InterfaceSetting setting;
  USBD_STATUS status =
      ReadRequestedSetting(configuration, &r.Interface, urbLength - kInterfaceOffset, pdo.HighSpeed(), &setting);
  if (!USBD_SUCCESS(status)) return CompleteUrbNow(irp, urb, status);
  PeriodicBudget::PortBookings previous;
  status = pdo.Controller().ReservePeriodic(pdo.Port(), setting.number, PeriodicLoad(setting), &previous);
  if (!USBD_SUCCESS(status)) return CompleteUrbNow(irp, urb, status);
  pdo.AbortEndpoints(pdo.InterfaceEndpoints(setting.number));
  SetupPacket setup{0x01, USB_REQUEST_SET_INTERFACE, setting.alternate, setting.number, 0};
  USBD_CONFIGURATION_HANDLE configurationHandle = r.ConfigurationHandle;
  auto commit = [&pdo, urb, configurationHandle, setting = std::move(setting),
                 previous](const Transfer &t) mutable {
    if (!USBD_SUCCESS(t.status)) {
      pdo.Controller().RestorePeriodic(pdo.Port(), previous);
      return t.status;
    }
    FillInterfaceInformation(setting, &urb->UrbSelectInterface.Interface);
    if (pdo.CommitInterface(configurationHandle, std::move(setting))) return t.status;
    pdo.Controller().RestorePeriodic(pdo.Port(), previous);
    return USBD_STATUS_INVALID_PARAMETER;
  };
  return SendNoDataRequest(pdo, irp, urb, setup, std::move(commit));
}

}  // namespace winsim::usb
