#include "kerneldriver/usb/descriptor_walk.h"

#include "kerneldriver/kernel_support.h"
#include "kerneldriver/usb/uac2_descriptors.h"

namespace {

// Offset of `position` inside the bytes, or `length` when it is not inside.
ULONG OffsetOf(DescriptorBytes bytes, const void *position) {
  const UCHAR *p = static_cast<const UCHAR *>(position);
  if (p < bytes.data || p >= bytes.data + bytes.length) return bytes.length;
  return static_cast<ULONG>(p - bytes.data);
}

// The descriptor at `offset` when it lies wholly inside the bytes.
const USB_COMMON_DESCRIPTOR *WholeAt(DescriptorBytes bytes, ULONG offset) {
  if (offset >= bytes.length || bytes.length - offset < 2) return nullptr;
  UCHAR length = bytes.data[offset];
  if (length < 2 || length > bytes.length - offset) return nullptr;
  return reinterpret_cast<const USB_COMMON_DESCRIPTOR *>(bytes.data + offset);
}

// Offset just past the descriptor at `position`, or `length` when the
// position is not a whole descriptor of these bytes.
ULONG OffsetAfter(DescriptorBytes bytes, const void *position) {
  ULONG offset = OffsetOf(bytes, position);
  const USB_COMMON_DESCRIPTOR *descriptor = WholeAt(bytes, offset);
  return descriptor == nullptr ? bytes.length : offset + descriptor->bLength;
}

}  // namespace

const USB_COMMON_DESCRIPTOR *DescriptorAfter(DescriptorBytes bytes, const void *descriptor) {
  return WholeAt(bytes, OffsetAfter(bytes, descriptor));
}

const USB_COMMON_DESCRIPTOR *NextConfigurationDescriptor(DescriptorBytes bytes, const void *position, UCHAR type) {
  ULONG offset = position == nullptr ? 0 : OffsetAfter(bytes, position);
  // Each step advances by at least 2 bytes, so the loop ends within length / 2 steps.
  for (const USB_COMMON_DESCRIPTOR *d = WholeAt(bytes, offset); d != nullptr; d = WholeAt(bytes, offset)) {
    if (type == 0 || d->bDescriptorType == type) return d;
    offset += d->bLength;
  }
  return nullptr;
}

const USB_COMMON_DESCRIPTOR *NextInterfaceDescriptor(DescriptorBytes bytes,
                                                     const USB_INTERFACE_DESCRIPTOR *interfaceDescriptor,
                                                     const void *position, UCHAR type) {
  if (interfaceDescriptor == nullptr) return nullptr;
  const void *from = position != nullptr ? position : interfaceDescriptor;
  ULONG offset = OffsetAfter(bytes, from);
  for (const USB_COMMON_DESCRIPTOR *d = WholeAt(bytes, offset); d != nullptr; d = WholeAt(bytes, offset)) {
    if (d->bDescriptorType == kDescriptorTypeInterface) return nullptr;
    if (type == 0 || d->bDescriptorType == type) return d;
    offset += d->bLength;
  }
  return nullptr;
}

NTSTATUS ValidateConfigurationDescriptor(const UCHAR *data, ULONG received) {
  if (data == nullptr || received < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return STATUS_DEVICE_CONFIGURATION_ERROR;
  auto *header = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR *>(data);
  ULONG total = header->wTotalLength;
  if (header->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      header->bDescriptorType != kDescriptorTypeConfiguration || total < header->bLength || total > received) {
    return STATUS_DEVICE_CONFIGURATION_ERROR;
  }
  DescriptorBytes bytes{data, total};
  ULONG offset = 0;
  while (offset < total) {
    const USB_COMMON_DESCRIPTOR *d = WholeAt(bytes, offset);
    if (d == nullptr) return STATUS_DEVICE_CONFIGURATION_ERROR;
    if ((d->bDescriptorType == kDescriptorTypeInterface && d->bLength < kMinInterfaceLength) ||
        (d->bDescriptorType == kDescriptorTypeEndpoint && d->bLength < kMinEndpointLength)) {
      return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    offset += d->bLength;
  }
  return STATUS_SUCCESS;
}

void ClampIsochronousIntervals(UCHAR *data, ULONG length) {
  DescriptorBytes bytes{data, length};
  for (auto *d = NextConfigurationDescriptor(bytes, nullptr, kDescriptorTypeEndpoint); d != nullptr;
       d = NextConfigurationDescriptor(bytes, d, kDescriptorTypeEndpoint)) {
    if (d->bLength < kMinEndpointLength) continue;
    // The walk only hands out descriptors inside `data`, which is writable.
    auto *endpoint = reinterpret_cast<USB_ENDPOINT_DESCRIPTOR *>(const_cast<USB_COMMON_DESCRIPTOR *>(d));
    if ((endpoint->bmAttributes & kEndpointTransferMask) == kEndpointIsochronous &&
        endpoint->bInterval > kMaxIsochronousInterval) {
      endpoint->bInterval = kMaxIsochronousInterval;
    }
  }
}

ULONG ListConfigurationInterfaces(DescriptorBytes bytes, const USB_INTERFACE_DESCRIPTOR **interfaces, ULONG capacity) {
  ULONG count = 0;
  for (auto *d = NextConfigurationDescriptor(bytes, nullptr, kDescriptorTypeInterface); d != nullptr;
       d = NextConfigurationDescriptor(bytes, d, kDescriptorTypeInterface)) {
    if (d->bLength < kMinInterfaceLength) continue;
    auto *candidate = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(d);
    if (candidate->bAlternateSetting != 0) continue;
    bool seen = false;
    for (ULONG i = 0; i < QavMin(count, capacity); ++i) {
      if (interfaces[i]->bInterfaceNumber == candidate->bInterfaceNumber) seen = true;
    }
    if (seen) continue;
    if (count < capacity) interfaces[count] = candidate;
    ++count;
  }
  return count;
}
