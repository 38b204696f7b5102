// The USB bus interface (USB_BUS_INTERFACE_USBDI_GUID, versions 0 to 2).
// Its functions may be called at any IRQL up to DISPATCH_LEVEL with the
// BusContext the interface carried; the context outlives the device object,
// so a driver that calls after removal still gets a sane answer.
#include "winsim/usb/bus_interface.h"

#include <usbbusif.h>
#include <usbdlib.h>

#include <cstring>

#include "winsim/usb/usb_bus.h"
#include "winsim/usb/usb_pdo.h"

namespace winsim::usb {
namespace {

// Signalling rates in kbit/s.
constexpr ULONG kHighSpeedBandwidth = 480000;
constexpr ULONG kFullSpeedBandwidth = 12000;

BusInterfaceContext *ContextOf(PVOID busContext) {
  auto *context = static_cast<BusInterfaceContext *>(busContext);
  return context != nullptr && context->magic == kBusContextMagic ? context : nullptr;
}

VOID InterfaceReference(PVOID busContext) {
  if (BusInterfaceContext *context = ContextOf(busContext)) ++context->references;
}

VOID InterfaceDereference(PVOID busContext) {
  if (BusInterfaceContext *context = ContextOf(busContext)) --context->references;
}

VOID GetUsbdiVersion(PVOID busContext, PUSBD_VERSION_INFORMATION version, PULONG hcdCapabilities) {
  (void)busContext;
  USBD_GetUSBDIVersion(version);
  if (hcdCapabilities != nullptr) *hcdCapabilities = 0;
}

NTSTATUS QueryBusTime(PVOID busContext, PULONG currentFrame) {
  BusInterfaceContext *context = ContextOf(busContext);
  if (context == nullptr || currentFrame == nullptr) return STATUS_INVALID_PARAMETER;
  *currentFrame = context->pdo->Controller().CurrentFrame();
  return STATUS_SUCCESS;
}

NTSTATUS SubmitIsoOutUrb(PVOID busContext, PURB urb) {
  (void)busContext;
  (void)urb;
  return STATUS_NOT_SUPPORTED;
}

// Level 0 only: the bus's bandwidth, none of it accounted as consumed.
NTSTATUS QueryBusInformation(PVOID busContext, ULONG level, PVOID buffer, PULONG bufferLength, PULONG actualLength) {
  BusInterfaceContext *context = ContextOf(busContext);
  if (context == nullptr || bufferLength == nullptr) return STATUS_INVALID_PARAMETER;
  if (level != 0) return STATUS_NOT_SUPPORTED;
  if (actualLength != nullptr) *actualLength = sizeof(USB_BUS_INFORMATION_LEVEL_0);
  if (buffer == nullptr || *bufferLength < sizeof(USB_BUS_INFORMATION_LEVEL_0)) return STATUS_BUFFER_TOO_SMALL;
  auto *information = static_cast<PUSB_BUS_INFORMATION_LEVEL_0>(buffer);
  information->TotalBandwidth = context->pdo->HighSpeed() ? kHighSpeedBandwidth : kFullSpeedBandwidth;
  information->ConsumedBandwidth = 0;
  return STATUS_SUCCESS;
}

BOOLEAN IsDeviceHighSpeed(PVOID busContext) {
  BusInterfaceContext *context = ContextOf(busContext);
  return context != nullptr && context->pdo->HighSpeed() ? TRUE : FALSE;
}

NTSTATUS EnumLogEntry(PVOID busContext, ULONG driverTag, ULONG enumTag, ULONG p1, ULONG p2) {
  (void)busContext, (void)driverTag, (void)enumTag, (void)p1, (void)p2;
  return STATUS_SUCCESS;
}

constexpr USHORT kSizes[] = {sizeof(USB_BUS_INTERFACE_USBDI_V0), sizeof(USB_BUS_INTERFACE_USBDI_V1),
                             sizeof(USB_BUS_INTERFACE_USBDI_V2)};

}  // namespace

NTSTATUS QueryUsbBusInterface(UsbPdo &pdo, PIO_STACK_LOCATION stack) {
  auto &query = stack->Parameters.QueryInterface;
  USHORT version = query.Version;
  if (version > USB_BUSIF_USBDI_VERSION_2 || (pdo.Bus().BusInterfaceVersions() & (1u << version)) == 0) {
    return STATUS_NOT_SUPPORTED;
  }
  if (query.Interface == nullptr || query.Size < kSizes[version]) return STATUS_INVALID_PARAMETER;
  // Version n is a prefix of version 2: build the whole and hand out n's part.
  USB_BUS_INTERFACE_USBDI_V2 full{};
  full.Size = kSizes[version];
  full.Version = version;
  full.BusContext = pdo.BusContext();
  full.InterfaceReference = InterfaceReference;
  full.InterfaceDereference = InterfaceDereference;
  full.GetUSBDIVersion = GetUsbdiVersion;
  full.QueryBusTime = QueryBusTime;
  full.SubmitIsoOutUrb = SubmitIsoOutUrb;
  full.QueryBusInformation = QueryBusInformation;
  full.IsDeviceHighSpeed = IsDeviceHighSpeed;
  full.EnumLogEntry = EnumLogEntry;
  std::memcpy(query.Interface, &full, kSizes[version]);
  InterfaceReference(full.BusContext);
  return STATUS_SUCCESS;
}

}  // namespace winsim::usb
