// The driver's picture of the USB device: the cached device and configuration
// descriptors, one UsbInterface per interface of the configuration with its
// selected alternate setting and pipes, and the USB bus interface.
//
// Ownership: UsbDeviceConfig is part of the device context; it owns the
// configuration descriptor (kTagBuffer) and its eight UsbInterface objects
// (kTagObject), which own their interface information copy (kTagBuffer) and
// their UsbPipe objects (kTagObject). Pointers to descriptors point into the
// cached configuration descriptor and live as long as it does.
#pragma once
#include "kerneldriver/usb/descriptor_walk.h"
#include "kerneldriver/kernel_headers.h"

inline constexpr ULONG kMaxInterfaces = 8;
inline constexpr ULONG kMaxPipesPerInterface = 32;

struct UsbDeviceConfig;
struct UsbInterface;

struct UsbPipe {
  UsbInterface *owner;
  USHORT maximumPacketSize;
  UCHAR endpointAddress;
  UCHAR interval;
  USBD_PIPE_TYPE pipeType;
  USBD_PIPE_HANDLE pipeHandle;
  ULONG maximumTransferSize;
  ULONG pipeFlags;
  const USB_ENDPOINT_DESCRIPTOR *endpoint;  // in the cached configuration descriptor; null when not found
};

struct UsbInterface {
  UsbDeviceConfig *owner;
  ULONG index;             // position in the configuration, 0-based
  UCHAR interfaceNumber;   // bInterfaceNumber, set when the configuration is selected
  PUSBD_INTERFACE_INFORMATION info;  // copy of what the USB stack returned for the selected setting; null before
  const USB_INTERFACE_DESCRIPTOR *descriptor;  // descriptor of the selected setting; null when not found
  ULONG pipeCount;  // pipes recorded, at most kMaxPipesPerInterface
  UsbPipe *pipes[kMaxPipesPerInterface];
};

struct UsbDeviceConfig {
  // The USB stack's device below the driver. Null after surprise removal (or
  // a failed configuration): every request then fails at once. Read it once
  // per request (UsbLowerDevice), it may be cleared by another thread.
  PDEVICE_OBJECT volatile lowerDevice;
  USB_BUS_INTERFACE_USBDI_V2 busInterface;  // Size 0: none granted
  USB_DEVICE_DESCRIPTOR deviceDescriptor;
  PUCHAR configDescriptor;  // wTotalLength bytes, validated; null before configuration
  ULONG configLength;
  USBD_CONFIGURATION_HANDLE configurationHandle;
  ULONG interfaceCount;  // interfaces of the selected configuration
  UsbInterface *interfaces[kMaxInterfaces];
};

// A volatile pointer read is a single load on both targets.
inline PDEVICE_OBJECT UsbLowerDevice(const UsbDeviceConfig *config) { return config->lowerDevice; }

inline DescriptorBytes ConfigBytes(const UsbDeviceConfig *config) {
  return DescriptorBytes{config->configDescriptor, config->configDescriptor != nullptr ? config->configLength : 0};
}

// Creates the eight interface objects. STATUS_INSUFFICIENT_RESOURCES when pool runs out.
NTSTATUS UsbConfigCreateInterfaces(UsbDeviceConfig *config);
// Frees what the configuration brought: the cached configuration descriptor
// and each interface's information and pipes. The interface objects stay,
// empty, for the next configuration.
void UsbConfigForget(UsbDeviceConfig *config);
// The same, and the interface objects themselves (destruction).
void UsbConfigFree(UsbDeviceConfig *config);

ULONG UsbConfigInterfaceCount(const UsbDeviceConfig *config);
// Null for an index at or beyond the interface count.
UsbInterface *UsbConfigInterface(const UsbDeviceConfig *config, ULONG index);

// Replaces the interface's information with `info` (from SELECT_CONFIGURATION
// or SELECT_INTERFACE): copies it, records up to 32 pipes and pairs each with
// its endpoint descriptor in descriptor order. PASSIVE_LEVEL.
NTSTATUS UsbInterfaceSetInformation(UsbInterface *usbInterface, const USBD_INTERFACE_INFORMATION *info);

// The pipe of the selected setting with this endpoint address; null when none.
UsbPipe *UsbInterfaceFindPipe(const UsbInterface *usbInterface, UCHAR endpointAddress);

// The selected alternate setting, or 0xFF before any was selected.
UCHAR UsbInterfaceAlternateSetting(const UsbInterface *usbInterface);
UCHAR UsbInterfaceClass(const UsbInterface *usbInterface);
UCHAR UsbInterfaceSubClass(const UsbInterface *usbInterface);

// The next interface descriptor of the same interface number after
// `position` (none: from the start of the configuration) matching the filter;
// 0xFF in a filter field means any.
const USB_INTERFACE_DESCRIPTOR *UsbInterfaceNextAlternate(const UsbInterface *usbInterface, const void *position,
                                                          UCHAR interfaceClass, UCHAR subClass, UCHAR protocol,
                                                          UCHAR alternateSetting);
