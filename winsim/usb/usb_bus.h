// One USB bus of the machine: a host controller with its own frame counter,
// its root hub's ports, and a PDO for each device plugged into them. The
// bus's hub thread carries out injected removals and reports them to the
// machine's USB device listener.
//
// Threads: Plug and Unplug run at PASSIVE_LEVEL on a simulated thread;
// PullDevice may run at DISPATCH_LEVEL (from a completion); everything else
// may be called from any simulated thread.
#pragma once
#include <wdm.h>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "winsim/usb/host_controller.h"
#include "winsim/usb/usb_device_info.h"
#include "winsim/usb/usb_pdo.h"

namespace winsim::usb {

class PcapCapture;

class UsbBus {
 public:
  UsbBus(uint32_t number, uint32_t frameBase, PDRIVER_OBJECT hubDriver, UsbDeviceListener notify);
  ~UsbBus();
  UsbBus(const UsbBus &) = delete;
  UsbBus &operator=(const UsbBus &) = delete;

  // Start: the host controller and the hub thread. Stop (PASSIVE_LEVEL):
  // fails what is pending, ends both threads, deletes the device objects no
  // stack sits on.
  void Start(Scheduler &scheduler);
  void Stop();

  uint32_t Number() const { return m_number; }
  HostController &Controller() { return m_controller; }

  // Attaches the device to a new port, enumerates it over the bus (device,
  // configuration and string descriptors) and creates its PDO, then reports
  // its arrival. An invalid handle when no device object could be created.
  UsbDeviceHandle Plug(std::shared_ptr<UsbFunction> device);
  // Surprise: the device is gone at once (pending URBs fail, later ones are
  // refused), then the listener hears of it. Orderly: the listener removes
  // the driver stack first, then the device leaves. False for an unknown or
  // already unplugged port.
  bool Unplug(int port, bool surprise);

  UsbPdo *Pdo(int port) const;
  std::vector<UsbDeviceInfo> PresentDevices() const;

  // Fault injection: the device is surprise-removed at virtual time `when`,
  // or once the count-th URB from now on that reached it is done on the bus
  // (that URB still succeeds; its driver finds the device gone).
  bool SurpriseRemoveAt(int port, VTime when);
  bool SurpriseRemoveAfterUrbs(int port, uint64_t count);
  // Removes a device on behalf of an injected fault; any IRQL up to
  // DISPATCH_LEVEL. The listener hears of it from the hub thread.
  void PullDevice(int port);

  // Versions of the USB bus interface the hub grants (bit n: version n);
  // others are refused with STATUS_NOT_SUPPORTED. Default: 0, 1 and 2.
  void SetBusInterfaceVersions(uint32_t mask);
  uint32_t BusInterfaceVersions() const;

  // Attaches (or with null detaches) a bus capture to this bus.
  void SetCapture(PcapCapture *capture);

 private:
  void HubThread();
  void RunDueRemovals();
  void ReportGone(int port);
  VTime NextRemovalLocked() const;

  const uint32_t m_number;
  const PDRIVER_OBJECT m_hubDriver;
  const UsbDeviceListener m_notify;
  HostController m_controller;
  Scheduler *m_scheduler = nullptr;
  std::shared_ptr<SimThread> m_hubThread;
  KEVENT m_hubEvent{};

  mutable std::mutex m_lock;
  std::map<int, std::unique_ptr<UsbPdo>> m_pdos;  // every PDO this bus made, present or not
  std::multimap<VTime, int> m_timedRemovals;
  std::vector<int> m_unreported;  // pulled ports the listener has not heard of yet
  uint32_t m_busInterfaceVersions = 0x7;
  PcapCapture *m_capture = nullptr;
  bool m_stopping = false;
};

}  // namespace winsim::usb
