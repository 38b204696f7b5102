// The machine's USB subsystem: winsim's "usbhub" driver object and the buses
// (each a host controller with its own frame counter and root hub), the
// listener a plug-and-play manager registers for device arrivals and
// departures, and the bus capture.
//
// Built at machine boot and torn down at shutdown, both at PASSIVE_LEVEL on
// the machine's thread.
#pragma once
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "winsim/usb/pcap_writer.h"
#include "winsim/usb/usb_bus.h"
#include "winsim/usb/usb_device_info.h"

namespace winsim::usb {

class PcapCapture;

// Buses a Machine boots with.
inline constexpr uint32_t kMachineUsbBuses = 2;

// Frame counter of bus n (1-based) at virtual time zero: every bus counts
// from its own base, as independent controllers do.
uint32_t BusFrameBase(uint32_t number);

class UsbHost {
 public:
  UsbHost(Scheduler &scheduler, uint32_t busCount);
  ~UsbHost();
  UsbHost(const UsbHost &) = delete;
  UsbHost &operator=(const UsbHost &) = delete;

  std::vector<UsbBus *> Buses() const;
  // Null for a bus number the machine does not have.
  UsbBus *Bus(uint32_t number) const;
  PDRIVER_OBJECT HubDriver() const { return m_hubDriver; }

  UsbDeviceHandle Plug(std::shared_ptr<UsbFunction> device, uint32_t bus);
  bool Unplug(UsbDeviceHandle handle, bool surprise);
  // Devices on any bus that are present and have a device object.
  std::vector<UsbDeviceInfo> Devices() const;

  void SetListener(UsbDeviceListener listener);

  // Writes every transfer of one bus (0: all buses) into a usbmon pcap file
  // until StopCapture; a capture already running is stopped first.
  PcapStatus StartCapture(const std::string &path, uint32_t bus);
  PcapStatus StopCapture();

 private:
  void Notify(const UsbDeviceEvent &event);

  PDRIVER_OBJECT m_hubDriver = nullptr;
  std::vector<std::unique_ptr<UsbBus>> m_buses;
  mutable std::mutex m_lock;  // the listener and the capture
  UsbDeviceListener m_listener;
  std::unique_ptr<PcapCapture> m_capture;
};

}  // namespace winsim::usb
