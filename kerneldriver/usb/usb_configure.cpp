#include "kerneldriver/usb/usb_configure.h"

#include "kerneldriver/kernel_support.h"
#include "kerneldriver/usb/descriptor_walk.h"
#include "kerneldriver/usb/uac2_descriptors.h"
#include "kerneldriver/usb/usb_transport.h"

namespace {

constexpr ULONG kSelectInterfaceAttempts = 3;

NTSTATUS ReadDeviceDescriptor(UsbDeviceConfig *config) {
  ULONG received = 0;
  NTSTATUS status = UsbGetDescriptor(config, kDescriptorTypeDevice, 0, 0, &config->deviceDescriptor,
                                     sizeof(config->deviceDescriptor), &received);
  if (NT_SUCCESS(status) && received < sizeof(config->deviceDescriptor)) status = STATUS_DEVICE_DATA_ERROR;
  return status;
}

// Header first for wTotalLength, then the whole descriptor into its own
// buffer, which is checked before anything walks it.
NTSTATUS ReadConfigurationDescriptor(UsbDeviceConfig *config) {
  USB_CONFIGURATION_DESCRIPTOR header;
  QavZeroMemory(&header, sizeof(header));
  ULONG received = 0;
  NTSTATUS status = UsbGetDescriptor(config, kDescriptorTypeConfiguration, 0, 0, &header, sizeof(header), &received);
  if (!NT_SUCCESS(status)) return status;
  ULONG total = header.wTotalLength;
  if (received < sizeof(header) || total < sizeof(header)) return STATUS_DEVICE_CONFIGURATION_ERROR;
  auto *bytes = static_cast<PUCHAR>(QavAllocateNonPaged(total, kTagBuffer));
  if (bytes == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  status = UsbGetDescriptor(config, kDescriptorTypeConfiguration, 0, 0, bytes, total, &received);
  if (NT_SUCCESS(status)) status = ValidateConfigurationDescriptor(bytes, received);
  if (!NT_SUCCESS(status)) {
    QavFree(bytes, kTagBuffer);
    return status;
  }
  config->configDescriptor = bytes;
  config->configLength = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes)->wTotalLength;
  return STATUS_SUCCESS;
}

// One entry per interface at alternate setting 0, in descriptor order, plus
// the empty terminator USBD_CreateConfigurationRequestEx expects.
NTSTATUS BuildInterfaceList(UsbDeviceConfig *config, PUSBD_INTERFACE_LIST_ENTRY list, ULONG count) {
  const USB_INTERFACE_DESCRIPTOR *found[kMaxInterfaces] = {};
  ULONG listed = ListConfigurationInterfaces(ConfigBytes(config), found, kMaxInterfaces);
  if (listed != count) return STATUS_DEVICE_CONFIGURATION_ERROR;
  for (ULONG i = 0; i < count; ++i) {
    list[i].InterfaceDescriptor = const_cast<PUSB_INTERFACE_DESCRIPTOR>(found[i]);
    list[i].Interface = nullptr;
    config->interfaces[i]->interfaceNumber = found[i]->bInterfaceNumber;
  }
  list[count].InterfaceDescriptor = nullptr;
  list[count].Interface = nullptr;
  return STATUS_SUCCESS;
}

NTSTATUS AdoptInterfaces(UsbDeviceConfig *config, PUSBD_INTERFACE_LIST_ENTRY list, ULONG count) {
  for (ULONG i = 0; i < count; ++i) {
    NTSTATUS status = UsbInterfaceSetInformation(config->interfaces[i], list[i].Interface);
    if (NT_SUCCESS(status)) status = UsbSelectAlternateSetting(config->interfaces[i], 0);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS SubmitConfiguration(UsbDeviceConfig *config, PUSBD_INTERFACE_LIST_ENTRY list, ULONG count) {
  PURB urb = USBD_CreateConfigurationRequestEx(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config->configDescriptor),
                                               list);
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = UsbSubmitUrb(config, urb, kUsbTimeoutMs);
  if (NT_SUCCESS(status)) {
    config->configurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    config->interfaceCount = count;
    status = AdoptInterfaces(config, list, count);
  }
  ExFreePool(urb);
  return status;
}

NTSTATUS SelectInterfaces(UsbDeviceConfig *config) {
  ULONG count = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config->configDescriptor)->bNumInterfaces;
  if (count > kMaxInterfaces) return STATUS_INTERNAL_ERROR;
  if (count == 0) return STATUS_DEVICE_CONFIGURATION_ERROR;
  auto *list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
      QavAllocateNonPaged((count + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY), kTagBuffer));
  if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = BuildInterfaceList(config, list, count);
  if (NT_SUCCESS(status)) {
    ClampIsochronousIntervals(config->configDescriptor, config->configLength);
    status = SubmitConfiguration(config, list, count);
  }
  QavFree(list, kTagBuffer);
  return status;
}

// Version 2, then 1, then 0: the first the bus fills in is kept. The bus
// referenced it on the driver's behalf when it answered the query; the one
// InterfaceDereference in UsbDeconfigure balances that.
void ObtainBusInterface(UsbDeviceConfig *config) {
  struct Attempt {
    USHORT size;
    USHORT version;
  };
  static const Attempt attempts[] = {{sizeof(USB_BUS_INTERFACE_USBDI_V2), USB_BUSIF_USBDI_VERSION_2},
                                     {sizeof(USB_BUS_INTERFACE_USBDI_V1), USB_BUSIF_USBDI_VERSION_1},
                                     {sizeof(USB_BUS_INTERFACE_USBDI_V0), USB_BUSIF_USBDI_VERSION_0}};
  QavZeroMemory(&config->busInterface, sizeof(config->busInterface));
  for (const Attempt &attempt : attempts) {
    UsbQueryBusInterface(config, attempt.size, attempt.version);
    if (config->busInterface.Size != 0) break;
  }
}

void ForgetConfiguration(UsbDeviceConfig *config) {
  UsbConfigForget(config);
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&config->lowerDevice), nullptr);
}

// Names what the bus could not give: the setting's isochronous bytes per
// service interval, as its endpoint descriptors ask for them.
void TraceNoBandwidth(UsbDeviceConfig *config, const USB_INTERFACE_DESCRIPTOR *descriptor, UCHAR alternateSetting) {
  ULONG bytes = 0;
  DescriptorBytes all = ConfigBytes(config);
  for (auto *d = NextInterfaceDescriptor(all, descriptor, nullptr, kDescriptorTypeEndpoint); d != nullptr;
       d = NextInterfaceDescriptor(all, descriptor, d, kDescriptorTypeEndpoint)) {
    if (d->bLength < kMinEndpointLength) continue;
    auto *endpoint = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(d);
    if ((endpoint->bmAttributes & kEndpointTransferMask) != kEndpointIsochronous) continue;
    bytes += (endpoint->wMaxPacketSize & 0x7FF) * (1 + ((endpoint->wMaxPacketSize >> 11) & 3));
  }
  QAV_LOG(NoBandwidth, static_cast<unsigned>(descriptor->bInterfaceNumber), static_cast<unsigned>(alternateSetting),
            static_cast<unsigned>(bytes));
}

ULONG SelectInterfaceUrbLength(UCHAR endpoints) {
  return FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface) + FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) +
         endpoints * sizeof(USBD_PIPE_INFORMATION);
}

}  // namespace

NTSTATUS UsbSelectConfiguration(UsbDeviceConfig *config) {
  NTSTATUS status = ReadDeviceDescriptor(config);
  if (NT_SUCCESS(status)) status = ReadConfigurationDescriptor(config);
  if (NT_SUCCESS(status)) status = SelectInterfaces(config);
  if (!NT_SUCCESS(status)) {
    QAV_LOG(SelectConfigurationFailed, static_cast<unsigned>(status));
    ForgetConfiguration(config);
    return status;
  }
  ObtainBusInterface(config);
  return STATUS_SUCCESS;
}

NTSTATUS UsbSelectAlternateSetting(UsbInterface *usbInterface, UCHAR alternateSetting) {
  if (UsbInterfaceAlternateSetting(usbInterface) == alternateSetting) return STATUS_SUCCESS;
  const USB_INTERFACE_DESCRIPTOR *descriptor =
      UsbInterfaceNextAlternate(usbInterface, nullptr, 0xFF, 0xFF, 0xFF, alternateSetting);
  if (descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  UsbDeviceConfig *config = usbInterface->owner;
  USHORT length = static_cast<USHORT>(SelectInterfaceUrbLength(descriptor->bNumEndpoints));
  auto urb = static_cast<PURB>(QavAllocateNonPaged(length, kTagBuffer));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (ULONG attempt = 0; attempt < kSelectInterfaceAttempts; ++attempt) {
    QavZeroMemory(urb, length);
    UsbBuildSelectInterfaceRequest(urb, length, config->configurationHandle, usbInterface->interfaceNumber,
                                   alternateSetting);
    status = UsbSubmitUrb(config, urb, kUsbTimeoutMs);
    if (NT_SUCCESS(status)) {
      status = UsbInterfaceSetInformation(usbInterface, &urb->UrbSelectInterface.Interface);
      break;
    }
    QAV_LOG(SelectInterfaceFailed, static_cast<unsigned>(usbInterface->interfaceNumber),
              static_cast<unsigned>(alternateSetting), static_cast<unsigned>(attempt + 1),
              static_cast<unsigned>(status));
    if (status == STATUS_DEVICE_REMOVED) break;
    status = UsbFailureStatus(status, urb->UrbHeader.Status);
    // Bandwidth other devices hold is not freed by asking again.
    if (urb->UrbHeader.Status == USBD_STATUS_NO_BANDWIDTH) {
      TraceNoBandwidth(config, descriptor, alternateSetting);
      break;
    }
  }
  QavFree(urb, kTagBuffer);
  return status;
}

NTSTATUS UsbDeconfigure(UsbDeviceConfig *config) {
  NTSTATUS status = STATUS_SUCCESS;
  if (config->configurationHandle != nullptr) {
    URB urb;
    QavZeroMemory(&urb, sizeof(urb));
    UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    status = UsbSubmitUrb(config, &urb, kUsbTimeoutMs);
  }
  USB_BUS_INTERFACE_USBDI_V2 &bus = config->busInterface;
  if (bus.Size != 0 && bus.InterfaceDereference != nullptr) bus.InterfaceDereference(bus.BusContext);
  QavZeroMemory(&bus, sizeof(bus));
  UsbConfigForget(config);
  return status;
}

bool UsbIsHighSpeed(const UsbDeviceConfig *config) {
  const USB_BUS_INTERFACE_USBDI_V2 &bus = config->busInterface;
  if (bus.Size < sizeof(USB_BUS_INTERFACE_USBDI_V1) || bus.Version < USB_BUSIF_USBDI_VERSION_1) return false;
  return bus.IsDeviceHighSpeed != nullptr && bus.IsDeviceHighSpeed(bus.BusContext) != FALSE;
}
