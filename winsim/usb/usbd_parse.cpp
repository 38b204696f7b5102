// usbd.sys's descriptor helpers, as drivers link them. Each walk is bounded
// by the configuration's wTotalLength (or the caller's length) and stops at a
// malformed descriptor, so a device's bad descriptors yield NULL rather than
// a read past the buffer.
#include <usbdlib.h>
#include <wdm.h>

#include <cstring>

#include "winsim/usb/descriptor_walk.h"

namespace {

using winsim::usb::ConfigurationTotalLength;
using winsim::usb::DescriptorWalk;

// Pool tag of the SELECT_CONFIGURATION URBs built here; the caller frees them
// with ExFreePool.
constexpr ULONG kConfigRequestTag = MAKEFOURCC_TAG('U', 's', 'b', 'D');

bool Matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == static_cast<LONG>(actual); }

// Offset of position inside [base, base + length), or -1 when outside.
long long OffsetIn(const void *base, size_t length, const void *position) {
  auto begin = reinterpret_cast<uintptr_t>(base);
  auto at = reinterpret_cast<uintptr_t>(position);
  if (at < begin || at - begin >= length) return -1;
  return static_cast<long long>(at - begin);
}

size_t InterfaceInfoSize(UCHAR endpoints) {
  return offsetof(USBD_INTERFACE_INFORMATION, Pipes) + size_t{endpoints} * sizeof(USBD_PIPE_INFORMATION);
}

}  // namespace

EXTERN_C VOID USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  if (VersionInformation == nullptr) return;
  VersionInformation->USBDI_Version = USBDI_VERSION;
  VersionInformation->Supported_USB_Version = 0x0200;
}

EXTERN_C PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                      LONG DescriptorType) {
  long long start = OffsetIn(DescriptorBuffer, TotalLength, StartPosition);
  if (start < 0) return nullptr;
  DescriptorWalk walk(static_cast<const uint8_t *>(DescriptorBuffer), TotalLength, static_cast<size_t>(start));
  while (const USB_COMMON_DESCRIPTOR *descriptor = walk.Next()) {
    if (DescriptorType == -1 || descriptor->bDescriptorType == DescriptorType) {
      return const_cast<PUSB_COMMON_DESCRIPTOR>(descriptor);
    }
  }
  return nullptr;
}

EXTERN_C PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  const auto *base = reinterpret_cast<const uint8_t *>(ConfigurationDescriptor);
  // The caller's buffer holds the wTotalLength bytes the header announces.
  uint16_t total = ConfigurationTotalLength(base, UINT16_MAX);
  if (total == 0) return nullptr;
  long long start = StartPosition == nullptr ? 0 : OffsetIn(base, total, StartPosition);
  if (start < 0) return nullptr;
  DescriptorWalk walk(base, total, static_cast<size_t>(start));
  while (const USB_COMMON_DESCRIPTOR *descriptor = walk.Next()) {
    if (descriptor->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE ||
        descriptor->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) {
      continue;
    }
    const auto *candidate = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(descriptor);
    if (Matches(InterfaceNumber, candidate->bInterfaceNumber) && Matches(AlternateSetting, candidate->bAlternateSetting) &&
        Matches(InterfaceClass, candidate->bInterfaceClass) && Matches(InterfaceSubClass, candidate->bInterfaceSubClass) &&
        Matches(InterfaceProtocol, candidate->bInterfaceProtocol)) {
      return const_cast<PUSB_INTERFACE_DESCRIPTOR>(candidate);
    }
  }
  return nullptr;
}

EXTERN_C PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                               PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
  size_t interfaces = 0;
  size_t bytes = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
    bytes += InterfaceInfoSize(entry->InterfaceDescriptor->bNumEndpoints);
    ++interfaces;
  }
  // A URB is at most 64 KB long: its Length is a USHORT.
  if (interfaces == 0 || bytes > UINT16_MAX) return nullptr;
  bytes = bytes < sizeof(struct _URB_SELECT_CONFIGURATION) ? sizeof(struct _URB_SELECT_CONFIGURATION) : bytes;
  auto *urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kConfigRequestTag));
  if (urb == nullptr) return nullptr;
  std::memset(urb, 0, bytes);
  urb->UrbHeader.Length = static_cast<USHORT>(bytes);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
  auto *slot = reinterpret_cast<uint8_t *>(&urb->UrbSelectConfiguration.Interface);
  for (size_t i = 0; i < interfaces; ++i) {
    const USB_INTERFACE_DESCRIPTOR *descriptor = InterfaceList[i].InterfaceDescriptor;
    auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(slot);
    info->Length = static_cast<USHORT>(InterfaceInfoSize(descriptor->bNumEndpoints));
    info->InterfaceNumber = descriptor->bInterfaceNumber;
    info->AlternateSetting = descriptor->bAlternateSetting;
    info->NumberOfPipes = descriptor->bNumEndpoints;
    for (UCHAR pipe = 0; pipe < descriptor->bNumEndpoints; ++pipe) {
      info->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    InterfaceList[i].Interface = info;
    slot += info->Length;
  }
  return urb;
}
