// What the rest of the machine learns about a USB device plugged into one of
// winsim's buses: a handle to unplug it with, its PDO and the plug-and-play
// identifiers the hub reports for it, and the arrival/departure events a
// plug-and-play manager listens to.
#pragma once
#include <wdm.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace winsim::usb {

// Ports are numbered per bus and never reused, so a handle names one plug-in.
struct UsbDeviceHandle {
  uint32_t bus = 0;
  int port = 0;

  bool Valid() const { return bus != 0 && port != 0; }
  bool operator==(const UsbDeviceHandle &) const = default;
};

// The answers of IRP_MN_QUERY_ID, most specific first.
struct UsbDeviceIds {
  std::u16string deviceId;                     // USB\VID_xxxx&PID_xxxx
  std::vector<std::u16string> hardwareIds;     // …&REV_xxxx, then without the revision
  std::vector<std::u16string> compatibleIds;   // USB\Class_xx&SubClass_xx&Prot_xx, …
  std::u16string instanceId;                   // the serial number, else a port-based id
};

struct UsbDeviceInfo {
  UsbDeviceHandle handle;
  PDEVICE_OBJECT pdo = nullptr;  // not referenced: valid while the device is present
  UsbDeviceIds ids;
  std::string label;             // the device's own label, for logs
};

enum class UsbDeviceEventKind : uint8_t {
  // The PDO exists and answers PnP IRPs.
  Arrived,
  // Orderly unplug: the device is still on the bus and leaves it as soon as
  // the listener returns, so the listener removes the driver stack before
  // returning (the driver's last URBs still reach the device).
  Leaving,
  // The device has left the bus: after a surprise removal its stack is still
  // to be torn down (SURPRISE_REMOVAL, then REMOVE_DEVICE, which deletes the PDO).
  Gone,
};

struct UsbDeviceEvent {
  UsbDeviceEventKind kind = UsbDeviceEventKind::Arrived;
  bool surprise = false;
  UsbDeviceInfo device;
};

// Called at PASSIVE_LEVEL on the thread that plugs or unplugs, or on the
// bus's hub thread for injected removals. A listener may send PnP IRPs to the
// device's stack from the call.
using UsbDeviceListener = std::function<void(const UsbDeviceEvent &)>;

}  // namespace winsim::usb
