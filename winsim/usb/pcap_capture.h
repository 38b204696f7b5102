// Records the transfers of one or more simulated buses into a usbmon pcap
// file: every transfer as a submission and a completion event, with the
// device address derived from the port, the setup packet of control
// transfers, the data usbmon would copy and the isochronous descriptors, and
// USBD statuses turned into the negative errno values usbmon reports.
//
// The host controller calls it with its lock held; it takes only its own and
// the writer's locks.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "winsim/usb/bus_capture.h"
#include "winsim/usb/pcap_writer.h"

namespace winsim::usb {

class PcapCapture : public BusCapture {
 public:
  PcapStatus Open(const std::string &path);
  PcapStatus Close();
  // The first error a record met, latched until Close.
  PcapStatus Status() const;
  uint64_t Records() const { return m_writer.RecordsWritten(); }

  // Periodic intervals are reported in microframes for high-speed devices
  // and in frames for full-speed ones; a port not told of counts as high speed.
  void SetDeviceSpeed(uint32_t bus, int port, BusSpeed speed);

  void Submitted(uint32_t bus, int port, const Transfer &transfer, VTime now) override;
  void Completed(uint32_t bus, int port, const Transfer &transfer, VTime now) override;

  // The address a port's device is shown with: 1 to 127, one per port.
  static uint8_t DeviceAddress(int port);
  static int32_t UsbmonStatus(int32_t usbdStatus);

 private:
  void Note(PcapStatus status);
  bool HighSpeed(uint32_t bus, int port) const;

  PcapWriter m_writer;
  mutable std::mutex m_lock;
  std::map<std::pair<uint32_t, int>, BusSpeed> m_speeds;
  PcapStatus m_error = PcapStatus::Ok;
};

}  // namespace winsim::usb
