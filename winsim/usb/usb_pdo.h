// The physical device object a plugged device gets from the hub: a
// DEVICE_OBJECT of winsim's "usbhub" driver that a function driver attaches
// to, answering IRP_MJ_INTERNAL_DEVICE_CONTROL with URBs (urb_*.cpp),
// IRP_MJ_PNP (pdo_pnp.cpp, bus_interface.cpp) and IRP_MJ_POWER.
//
// Lifetime: the UsbPdo object lives as long as its bus, so bus-interface
// contexts and pipe handles a driver still holds after removal never point
// at freed memory. The device object is deleted once the device has left
// the bus and its stack is gone (REMOVE_DEVICE, or no stack was ever built).
//
// Locking: m_lock guards the pipe table, the in-flight counts and the PnP
// state; it is never held while calling the host controller or completing
// an IRP.
#pragma once
#include <usb.h>
#include <usbbusif.h>
#include <wdm.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "winsim/usb/host_controller.h"
#include "winsim/usb/pdo_ids.h"
#include "winsim/usb/pipe_table.h"
#include "winsim/usb/usb_device_info.h"

namespace winsim::usb {

class UsbBus;
class UsbPdo;

inline constexpr uint32_t kBusContextMagic = MAKEFOURCC_TAG('U', 'B', 'c', 'x');

// What QueryBusTime, IsDeviceHighSpeed … receive as BusContext: one per
// device, so it tells both the bus (frame counter) and the device (speed).
struct BusInterfaceContext {
  uint32_t magic = 0;
  UsbPdo *pdo = nullptr;
  std::atomic<LONG> references{0};
};

enum class PdoState : uint8_t { Added, Started, Stopped, SurpriseRemoved, Removed };

class UsbPdo {
 public:
  UsbPdo(UsbBus &bus, int port, std::shared_ptr<UsbFunction> function, EnumeratedDevice enumerated);
  UsbPdo(const UsbPdo &) = delete;
  UsbPdo &operator=(const UsbPdo &) = delete;

  // PASSIVE_LEVEL. The device object is named \Device\USBPDO-<n>.
  NTSTATUS CreateDevice(PDRIVER_OBJECT hubDriver, uint32_t number);
  // The UsbPdo of one of the hub driver's device objects.
  static UsbPdo *FromDevice(PDEVICE_OBJECT device);

  PDEVICE_OBJECT Device() const { return m_device; }
  int Port() const { return m_port; }
  UsbBus &Bus() const { return m_bus; }
  HostController &Controller() const;
  const EnumeratedDevice &Enumerated() const { return m_enumerated; }
  const UsbDeviceIds &Ids() const { return m_ids; }
  bool HighSpeed() const { return m_highSpeed; }
  UsbDeviceInfo Info() const;
  BusInterfaceContext *BusContext() { return &m_busContext; }
  LONG BusInterfaceReferences() const { return m_busContext.references.load(); }

  NTSTATUS DispatchInternalDeviceControl(PIRP irp);
  NTSTATUS DispatchPnp(PIRP irp);
  NTSTATUS DispatchPower(PIRP irp);

  // False once the device left the bus, was surprise-removed or removed:
  // URBs then fail without reaching the bus.
  bool AcceptsUrbs() const;

  // Power. A device out of D0 (its PDO got SET_POWER D1-D3) is suspended:
  // new URBs fail with USBD_STATUS_DEVICE_GONE without reaching the bus,
  // and are counted; isochronous transfers still pending at the power-down
  // are cancelled (the schedule stops). A power-down for hibernate or
  // shutdown, or for sleep on a machine whose sleep cuts bus power, resets
  // the device as a power loss does (its class state goes back to its
  // defaults); at D0 the hub resets the port and restores the configuration
  // the device had, as usbhub does, but not the alternate settings.
  DEVICE_POWER_STATE PowerState() const { return m_devicePower.load(); }
  uint64_t UrbsRefusedPoweredDown() const { return m_refusedPoweredDown.load(); }
  uint64_t TransfersCancelledAtPowerDown() const { return m_cancelledAtPowerDown.load(); }
  // Counts and refuses a URB sent while suspended; false when in D0.
  bool RefuseWhilePoweredDown();
  // The PDO's device SET_POWER (PASSIVE_LEVEL).
  void PowerDown(DEVICE_POWER_STATE state, POWER_ACTION action);
  void PowerUp();
  // Machine-wide knob (Machine options).
  static void SetSleepCutsBusPower(bool cuts);
  bool Present() const { return m_present.load(); }
  PdoState State() const;
  // The device left the bus: every later URB fails at once and everything
  // pending completes as gone. Any IRQL up to DISPATCH_LEVEL.
  void DeviceGone();
  // Deletes the device object when the device is gone and its stack too.
  // PASSIVE_LEVEL.
  void DeleteIfDone();
  bool Deleted() const;

  // Pipes of the selected configuration, under the PDO's lock.
  std::optional<PipeInfo> FindPipe(USBD_PIPE_HANDLE handle) const;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle() const;
  std::vector<uint8_t> SelectedConfiguration() const;
  // Commits a configuration (an empty descriptor: deconfigured; the
  // configuration handle is returned) or one interface's new setting once
  // the device accepted it.
  USBD_CONFIGURATION_HANDLE CommitConfiguration(std::vector<uint8_t> configuration,
                                                std::vector<InterfaceSetting> interfaces);
  bool CommitInterface(USBD_CONFIGURATION_HANDLE configuration, InterfaceSetting setting);
  // Cancels everything pending on the given endpoints (0: the default pipe).
  void AbortEndpoints(const std::vector<uint8_t> &endpoints);
  std::vector<uint8_t> OpenEndpoints() const;
  std::vector<uint8_t> InterfaceEndpoints(uint8_t interfaceNumber) const;

  // Transfers handed to the host controller, per endpoint. ABORT_PIPE and
  // the fault injection count on them. TransferFinished runs before the
  // transfer's IRP completes, so a driver that reacts to the completion
  // finds the books up to date (and, for an injected removal, the device
  // gone); it returns the ABORT_PIPE IRPs that the endpoint's draining
  // released, which CompleteDrained completes after the transfer's own IRP.
  void TransferStarted(uint8_t endpoint);
  std::vector<PIRP> TransferFinished(uint8_t endpoint, bool reachedBus);
  static void CompleteDrained(const std::vector<PIRP> &aborts);
  uint32_t InFlight(uint8_t endpoint) const;
  // Queues an ABORT_PIPE IRP until the endpoint has no transfer left; false
  // (nothing queued) when it has none already.
  bool WaitForEndpointDrain(uint8_t endpoint, PIRP irp);

  // Fault injection: the device leaves the bus (surprise) once the count-th
  // URB from now on that reached the bus is done there, before its driver
  // hears of it; 0 turns it off.
  void RemoveAfterUrbs(uint64_t count);
  uint64_t UrbsCompleted() const { return m_urbsCompleted.load(); }

 private:
  NTSTATUS QueryId(PIRP irp);
  NTSTATUS QueryCapabilities(PIRP irp);
  NTSTATUS QueryDeviceText(PIRP irp);
  NTSTATUS QueryTargetRelation(PIRP irp);
  void SetState(PdoState state);
  void AbortEverything();
  void RestoreConfiguration();

  UsbBus &m_bus;
  const int m_port;
  const std::shared_ptr<UsbFunction> m_function;
  const EnumeratedDevice m_enumerated;
  UsbDeviceIds m_ids;
  bool m_highSpeed;
  PDEVICE_OBJECT m_device = nullptr;
  BusInterfaceContext m_busContext;

  std::atomic<bool> m_present{true};
  std::atomic<uint64_t> m_urbsCompleted{0};
  std::atomic<uint64_t> m_removeAfter{0};
  std::atomic<DEVICE_POWER_STATE> m_devicePower{PowerDeviceD0};
  std::atomic<uint64_t> m_refusedPoweredDown{0};
  std::atomic<uint64_t> m_cancelledAtPowerDown{0};
  std::atomic<bool> m_powerLost{false};

  std::mutex m_deleteLock;  // serialises DeleteIfDone; taken before m_lock
  mutable std::mutex m_lock;
  PdoState m_state = PdoState::Added;
  bool m_deleted = false;
  PipeTable m_pipes;
  std::map<uint8_t, uint32_t> m_inFlight;
  std::multimap<uint8_t, PIRP> m_drainWaiters;
};

}  // namespace winsim::usb
