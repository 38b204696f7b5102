// Walks over a cached configuration descriptor. Device data is untrusted:
// every walk is bounded by the bytes held, a descriptor is returned only when
// it lies wholly inside them with a bLength of at least 2, and a walk ends at
// the first descriptor that does not. Positions are descriptors previously
// returned by a walk over the same bytes; anything else ends the walk.
#pragma once
#include "kerneldriver/kernel_headers.h"

struct DescriptorBytes {
  const UCHAR *data;
  ULONG length;  // bytes that may be read: wTotalLength, never more than were received
};

// The first descriptor after `position` (none: from the configuration
// descriptor itself) whose bDescriptorType is `type`; type 0 matches any.
const USB_COMMON_DESCRIPTOR *NextConfigurationDescriptor(DescriptorBytes bytes, const void *position, UCHAR type);

// Within one alternate setting: the first descriptor after `position` (none:
// right after `interfaceDescriptor`) of `type` (0: any), ending at the next
// interface descriptor.
const USB_COMMON_DESCRIPTOR *NextInterfaceDescriptor(DescriptorBytes bytes,
                                                     const USB_INTERFACE_DESCRIPTOR *interfaceDescriptor,
                                                     const void *position, UCHAR type);

// The descriptor directly after `descriptor`, or none.
const USB_COMMON_DESCRIPTOR *DescriptorAfter(DescriptorBytes bytes, const void *descriptor);

// Checks a configuration descriptor as received (`received` bytes) before any
// walk or any USBD parsing routine sees it: a configuration header of type 2
// and at least 9 bytes, wTotalLength within what was received, and a chain of
// descriptors that tiles exactly wTotalLength bytes, each at least 2 bytes
// long, interface descriptors at least 9 and endpoint descriptors at least 7.
// STATUS_DEVICE_CONFIGURATION_ERROR otherwise.
NTSTATUS ValidateConfigurationDescriptor(const UCHAR *data, ULONG received);

// Lowers bInterval of every isochronous endpoint above 4 to 4, in place.
void ClampIsochronousIntervals(UCHAR *data, ULONG length);

// The interface descriptors with alternate setting 0, in descriptor order and
// each interface number once: the interfaces of the configuration. Fills at
// most `capacity` entries and returns how many exist (which may be more).
ULONG ListConfigurationInterfaces(DescriptorBytes bytes, const USB_INTERFACE_DESCRIPTOR **interfaces, ULONG capacity);
