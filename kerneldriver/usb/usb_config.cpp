#include "kerneldriver/usb/usb_config.h"

#include "kerneldriver/kernel_support.h"
#include "kerneldriver/usb/uac2_descriptors.h"

namespace {

void FreePipes(UsbInterface *usbInterface) {
  for (ULONG i = 0; i < kMaxPipesPerInterface; ++i) {
    QavFree(usbInterface->pipes[i], kTagObject);
    usbInterface->pipes[i] = nullptr;
  }
  usbInterface->pipeCount = 0;
}

// Pipes the information block really holds: NumberOfPipes, but no more than
// its Length covers and no more than the table has room for.
ULONG PipesInInformation(const USBD_INTERFACE_INFORMATION *info) {
  const ULONG header = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
  if (info->Length < header) return 0;
  ULONG fit = (info->Length - header) / sizeof(USBD_PIPE_INFORMATION);
  return QavMin(QavMin(info->NumberOfPipes, fit), kMaxPipesPerInterface);
}

UsbPipe *CreatePipe(UsbInterface *owner, const USBD_PIPE_INFORMATION &source) {
  auto *pipe = static_cast<UsbPipe *>(QavAllocateNonPaged(sizeof(UsbPipe), kTagObject));
  if (pipe == nullptr) return nullptr;
  pipe->owner = owner;
  pipe->maximumPacketSize = source.MaximumPacketSize;
  pipe->endpointAddress = source.EndpointAddress;
  pipe->interval = source.Interval;
  pipe->pipeType = source.PipeType;
  pipe->pipeHandle = source.PipeHandle;
  pipe->maximumTransferSize = source.MaximumTransferSize;
  pipe->pipeFlags = source.PipeFlags;
  return pipe;
}

// Pipe i gets the i-th endpoint descriptor of the setting: the order in which
// the USB stack lists pipes.
void PairEndpoints(UsbInterface *usbInterface) {
  DescriptorBytes bytes = ConfigBytes(usbInterface->owner);
  const USB_COMMON_DESCRIPTOR *position = nullptr;
  for (ULONG i = 0; i < usbInterface->pipeCount; ++i) {
    position = NextInterfaceDescriptor(bytes, usbInterface->descriptor, position, kDescriptorTypeEndpoint);
    if (position == nullptr) return;
    usbInterface->pipes[i]->endpoint = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(position);
  }
}

}  // namespace

NTSTATUS UsbConfigCreateInterfaces(UsbDeviceConfig *config) {
  for (ULONG i = 0; i < kMaxInterfaces; ++i) {
    auto *usbInterface = static_cast<UsbInterface *>(QavAllocateNonPaged(sizeof(UsbInterface), kTagObject));
    if (usbInterface == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    usbInterface->owner = config;
    usbInterface->index = i;
    config->interfaces[i] = usbInterface;
  }
  return STATUS_SUCCESS;
}

void UsbConfigForget(UsbDeviceConfig *config) {
  for (ULONG i = 0; i < kMaxInterfaces; ++i) {
    UsbInterface *usbInterface = config->interfaces[i];
    if (usbInterface == nullptr) continue;
    FreePipes(usbInterface);
    QavFree(usbInterface->info, kTagBuffer);
    usbInterface->info = nullptr;
    usbInterface->descriptor = nullptr;
  }
  QavFree(config->configDescriptor, kTagBuffer);
  config->configDescriptor = nullptr;
  config->configLength = 0;
  config->interfaceCount = 0;
  config->configurationHandle = nullptr;
}

void UsbConfigFree(UsbDeviceConfig *config) {
  UsbConfigForget(config);
  for (ULONG i = 0; i < kMaxInterfaces; ++i) {
    QavFree(config->interfaces[i], kTagObject);
    config->interfaces[i] = nullptr;
  }
}

ULONG UsbConfigInterfaceCount(const UsbDeviceConfig *config) { return QavMin(config->interfaceCount, kMaxInterfaces); }

UsbInterface *UsbConfigInterface(const UsbDeviceConfig *config, ULONG index) {
  return index < UsbConfigInterfaceCount(config) ? config->interfaces[index] : nullptr;
}

NTSTATUS UsbInterfaceSetInformation(UsbInterface *usbInterface, const USBD_INTERFACE_INFORMATION *info) {
  if (info == nullptr || info->Length < FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes)) {
    return STATUS_INVALID_PARAMETER;
  }
  auto *copy = static_cast<PUSBD_INTERFACE_INFORMATION>(QavAllocateNonPaged(info->Length, kTagBuffer));
  if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  QavCopyMemory(copy, info, info->Length);
  FreePipes(usbInterface);
  QavFree(usbInterface->info, kTagBuffer);
  usbInterface->info = copy;

  ULONG pipes = PipesInInformation(copy);
  for (ULONG i = 0; i < pipes; ++i) {
    usbInterface->pipes[i] = CreatePipe(usbInterface, copy->Pipes[i]);
    if (usbInterface->pipes[i] == nullptr) {
      FreePipes(usbInterface);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    usbInterface->pipeCount = i + 1;
  }
  UsbDeviceConfig *config = usbInterface->owner;
  usbInterface->descriptor =
      config->configDescriptor == nullptr
          ? nullptr
          : USBD_ParseConfigurationDescriptorEx(
                reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config->configDescriptor), config->configDescriptor,
                copy->InterfaceNumber, copy->AlternateSetting, copy->Class, copy->SubClass, copy->Protocol);
  PairEndpoints(usbInterface);
  return STATUS_SUCCESS;
}

UCHAR UsbInterfaceAlternateSetting(const UsbInterface *usbInterface) {
  return usbInterface->info != nullptr ? usbInterface->info->AlternateSetting : 0xFF;
}

UCHAR UsbInterfaceClass(const UsbInterface *usbInterface) {
  return usbInterface->info != nullptr ? usbInterface->info->Class : 0;
}

UCHAR UsbInterfaceSubClass(const UsbInterface *usbInterface) {
  return usbInterface->info != nullptr ? usbInterface->info->SubClass : 0;
}

const USB_INTERFACE_DESCRIPTOR *UsbInterfaceNextAlternate(const UsbInterface *usbInterface, const void *position,
                                                          UCHAR interfaceClass, UCHAR subClass, UCHAR protocol,
                                                          UCHAR alternateSetting) {
  const UsbDeviceConfig *config = usbInterface->owner;
  if (config->configDescriptor == nullptr) return nullptr;
  DescriptorBytes bytes = ConfigBytes(config);
  // Starting after the previous match keeps the search moving forward; a
  // position outside the configuration ends it.
  const USB_COMMON_DESCRIPTOR *start =
      position == nullptr ? NextConfigurationDescriptor(bytes, nullptr, 0) : DescriptorAfter(bytes, position);
  if (start == nullptr) return nullptr;
  auto any = [](UCHAR value) { return value == 0xFF ? static_cast<LONG>(-1) : static_cast<LONG>(value); };
  return USBD_ParseConfigurationDescriptorEx(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config->configDescriptor),
                                             const_cast<USB_COMMON_DESCRIPTOR *>(start), usbInterface->interfaceNumber,
                                             any(alternateSetting), any(interfaceClass), any(subClass), any(protocol));
}

UsbPipe *UsbInterfaceFindPipe(const UsbInterface *usbInterface, UCHAR endpointAddress) {
  const ULONG count = QavMin(usbInterface->pipeCount, kMaxPipesPerInterface);
  for (ULONG i = 0; i < count; ++i) {
    UsbPipe *pipe = usbInterface->pipes[i];
    if (pipe != nullptr && pipe->endpointAddress == endpointAddress) return pipe;
  }
  return nullptr;
}
