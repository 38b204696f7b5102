// What the hub learns from a device while enumerating it, and the PnP
// identifiers it derives from that.
#pragma once
#include <usb_chapter9.h>
#include <wdm.h>

#include <cstdint>
#include <string>
#include <vector>

#include "winsim/usb/usb_device_info.h"

namespace winsim::usb {

// Pool the hub hands to the PnP manager, which frees it: identifier strings,
// device texts and device relations.
inline constexpr ULONG kHubPnpTag = MAKEFOURCC_TAG('U', 's', 'b', 'H');

struct EnumeratedDevice {
  bool descriptorRead = false;  // false: the device did not answer GET_DESCRIPTOR(DEVICE)
  USB_DEVICE_DESCRIPTOR device{};
  std::vector<uint8_t> configuration;  // wTotalLength bytes, or empty when it could not be read
  std::u16string product;
  std::u16string serial;
};

// Hardware ids USB\VID_xxxx&PID_xxxx&REV_xxxx then USB\VID_xxxx&PID_xxxx;
// compatible ids from the device class, or for a composite device from its
// first function (interface association) or first interface; the serial
// number as instance id when it is a valid one, else a port-based id. A
// device that failed enumeration gets USB\DEVICE_DESCRIPTOR_FAILURE.
UsbDeviceIds BuildDeviceIds(const EnumeratedDevice &device, uint32_t bus, int port);

// A MULTI_SZ (each string terminated, one more terminator at the end) in
// paged pool, which the caller frees with ExFreePool. Null when pool runs out.
PWCHAR PoolMultiString(const std::vector<std::u16string> &strings);
// One terminated string in paged pool.
PWCHAR PoolString(const std::u16string &text);

}  // namespace winsim::usb
