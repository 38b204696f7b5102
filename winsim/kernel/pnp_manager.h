// The machine's Plug and Play and power manager: device nodes for the PDOs
// bus drivers report, driver packages and their binding by hardware id, the
// Enum and driver (Class) keys of each device, device interfaces, and the
// system power transitions sent to every started device.
//
// Threads: everything the manager does to drivers runs on a system worker
// thread at PASSIVE_LEVEL, one action at a time in the order the events came
// (as Windows' device-action worker). The public calls queue an action and
// wait for it in virtual time; they are made from simulated threads at
// PASSIVE_LEVEL. Only an action's own thread may call back in, and then the
// nested call runs inline.
#pragma once
#include <wdm.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "winsim/sched/scheduler.h"

namespace winsim {

namespace usb {
class UsbHost;
}

// GUID_DEVCLASS_MEDIA: sound, video and game controllers.
inline constexpr GUID kMediaClassGuid = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// Device Manager problem codes (CM_PROB_*) the manager sets on a node.
inline constexpr ULONG kProblemNone = 0;
inline constexpr ULONG kProblemFailedStart = 10;
inline constexpr ULONG kProblemDisabled = 22;
inline constexpr ULONG kProblemFailedInstall = 28;
inline constexpr ULONG kProblemFailedAdd = 31;
inline constexpr ULONG kProblemFailedDriverEntry = 37;
inline constexpr ULONG kProblemFailedPostStart = 43;

class PnpManager;

// A device the manager has just bound to a package's driver.
struct DeviceSetup {
  PDEVICE_OBJECT pdo = nullptr;
  std::u16string matchedId;  // the device's id the package named
  std::u16string enumKey;    // its hardware key's parent (Enum\<instance path>)
  std::u16string driverKey;  // its driver (software) key
};

// What an installation does beyond binding (the INF-driven one: winsim/setup):
// called on the manager's thread at PASSIVE_LEVEL, never under its lock.
class PackageInstaller {
 public:
  virtual ~PackageInstaller() = default;
  // Writes the values of the package's service key (the key exists).
  virtual void WriteServiceKey(const std::u16string &serviceKey) = 0;
  // The description of a device bound through matchedId; empty: the
  // package's description or the device's own.
  virtual std::u16string DescriptionOf(const std::u16string &matchedId) = 0;
  // Before the driver loads for the device: registry values of its keys and
  // the interfaces the installation provisions. A failure leaves the device
  // without a driver (problem 28).
  virtual NTSTATUS SetUpDevice(PnpManager &manager, const DeviceSetup &device) = 0;
};

// What an installation tells the manager about a driver. The INF-driven
// installation fills the same record and adds its installer.
struct DriverPackage {
  std::u16string serviceName;
  PDRIVER_INITIALIZE entry = nullptr;
  // Ids the driver binds to, matched case-insensitively against a device's
  // hardware ids first, then its compatible ids.
  std::vector<std::u16string> hardwareIds;
  GUID classGuid = kMediaClassGuid;
  std::u16string className = u"MEDIA";
  // DeviceDesc of bound devices; empty: the device's own description.
  std::u16string description;
  std::u16string manufacturer;
  // Null: the service key gets the defaults and devices nothing more.
  std::shared_ptr<PackageInstaller> installer;
};

enum class DeviceNodeState : uint8_t {
  Enumerated,       // being set up
  NoDriver,         // no package matches (problem 28)
  Failed,           // driver entry, Add or START failed; no stack (problem set)
  Started,          // START_DEVICE succeeded (a start continuation may still run)
  SurpriseRemoved,  // SURPRISE_REMOVAL sent (the device left, or its stack reported it failed:
                    // problem 43); REMOVE_DEVICE waits for the last handle
  Removed,          // stack torn down (removed, disabled: problem 22, failed: problem 43);
                    // the node goes when the device leaves
};
const char *DeviceNodeStateName(DeviceNodeState state);

struct DeviceNodeInfo {
  PDEVICE_OBJECT pdo = nullptr;
  std::u16string instancePath;  // USB\VID_2B5A&PID_8014\<instance id>
  std::vector<std::u16string> hardwareIds;
  std::vector<std::u16string> compatibleIds;
  std::u16string deviceId;   // USB\VID_2B5A&PID_8014
  std::u16string description;
  std::u16string location;
  std::u16string enumKey;        // \Registry\Machine\SYSTEM\CurrentControlSet\Enum\<instance path>
  std::u16string driverKeyName;  // {class}\NNNN, empty without driver
  std::u16string driverKey;      // \Registry\Machine\...\Control\Class\{class}\NNNN
  std::u16string service;
  GUID classGuid{};
  std::u16string className;
  DeviceNodeState state = DeviceNodeState::Enumerated;
  ULONG problem = kProblemNone;
  NTSTATUS startStatus = STATUS_PENDING;      // of START_DEVICE
  NTSTATUS postStartStatus = STATUS_PENDING;  // of the start's continuation; STATUS_SUCCESS when there is none
  ULONG openHandles = 0;
  DEVICE_CAPABILITIES capabilities{};  // as the whole stack answered them after start
};

struct DeviceInterfaceInfo {
  GUID classGuid{};
  std::u16string symbolicLink;  // \??\USB#VID_2B5A&PID_8014#<instance>#{class}\<reference>
  std::u16string referenceString;
  std::u16string instancePath;
  std::u16string registryKey;  // ...\DeviceClasses\{class}\##?#...\#<reference>
  bool enabled = false;
  PDEVICE_OBJECT pdo = nullptr;  // null once the device left
};

// Told of every interface that becomes enabled (arrived) or disabled.
using InterfaceListener = std::function<void(const DeviceInterfaceInfo &info, bool arrived)>;

// Target device change notices (IoRegisterPlugPlayNotification with
// EventCategoryTargetDeviceChange): what a holder of a handle on the device
// hears of its removal.
inline constexpr GUID kTargetDeviceQueryRemove = {0xcb3a4004, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};
inline constexpr GUID kTargetDeviceRemoveCancelled = {0xcb3a4005, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};
inline constexpr GUID kTargetDeviceRemoveComplete = {0xcb3a4006, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};
// Called on the manager's thread at PASSIVE_LEVEL with one of the GUIDs
// above. A failure status answering the query-remove notice vetoes the
// removal; the other notices' answers are ignored. The listener may close
// its handles (HandleClosed) from the call; it must not call the manager's
// waiting calls.
using TargetListener = std::function<NTSTATUS(const GUID &event)>;

struct DeviceNode;
struct DriverRecord;
struct InterfaceRecord;
namespace pnp {
class PnpActionQueue;
class IrpWatchdog;
}

class PnpManager {
 public:
  explicit PnpManager(Scheduler &scheduler);
  ~PnpManager();
  PnpManager(const PnpManager &) = delete;
  PnpManager &operator=(const PnpManager &) = delete;

  // The manager of the running Machine, or null.
  static PnpManager *Active();
  // A handle opened on or closed from a device stack, told to the active
  // manager if there is one. Safe against the manager's destruction on
  // another thread: a late close at machine shutdown is dropped, never sent
  // to a freed manager.
  static void NoteHandleOpened(PDEVICE_OBJECT pdo);
  static void NoteHandleClosed(PDEVICE_OBJECT pdo);

  // Records the package (and its Services key) and binds it to present
  // devices that have no driver yet.
  void InstallDriver(DriverPackage package);

  // Bus driver events. Arrival enumerates the PDO (QUERY_ID, device text,
  // capabilities), writes its Enum key, binds and loads the driver, calls
  // AddDevice, sends START_DEVICE, waits for the start's continuation
  // (PostStart) and then QUERY_CAPABILITIES. Leaving (an orderly removal
  // while the device is still there): QUERY_REMOVE, then REMOVE_DEVICE, or
  // CANCEL_REMOVE when vetoed or while handles are open. Gone (the device
  // left): a stack still in place gets SURPRISE_REMOVAL and, once no handle
  // is open, REMOVE_DEVICE. A driver whose last device is removed is
  // unloaded once the PDO is gone, which checks it leaked nothing.
  void DeviceArrived(PDEVICE_OBJECT pdo);
  void DeviceLeaving(PDEVICE_OBJECT pdo);
  void DeviceGone(PDEVICE_OBJECT pdo, bool surprise);

  // Routes the USB subsystem's arrivals and departures here.
  void ListenTo(usb::UsbHost &host);
  // Stops listening and waits until nothing is left to do (machine shutdown).
  void Shutdown();

  // Resource rebalance of a started device: QUERY_STOP (a refusal is
  // followed by CANCEL_STOP and returned), then STOP_DEVICE and START_DEVICE
  // again with the start's continuation waited for, as when the device
  // arrived. Open handles do not keep a stop back. Returns the refusal or
  // the new start's status (a failed start removes the stack);
  // STATUS_INVALID_DEVICE_STATE for a device that is not started.
  NTSTATUS Rebalance(PDEVICE_OBJECT pdo);

  // Disable (an orderly removal that may be vetoed, as DeviceLeaving's; the
  // node stays with problem 22 and a driver left without devices unloads)
  // and enable (of a device whose stack was removed: disabled, or failed
  // with problem 43; the driver is bound and started again, with a new
  // AddDevice; waits until the start's continuation finished). Disable returns the veto
  // or STATUS_SUCCESS; both return STATUS_INVALID_DEVICE_STATE for a device
  // not in the state they need.
  NTSTATUS DisableDevice(PDEVICE_OBJECT pdo);
  NTSTATUS EnableDevice(PDEVICE_OBJECT pdo);

  // IoInvalidateDeviceState: the manager asks the stack for its state
  // (QUERY_PNP_DEVICE_STATE) from its own thread; a stack that reports
  // PNP_DEVICE_FAILED gets SURPRISE_REMOVAL and, once no handle is open,
  // REMOVE_DEVICE; the node keeps problem 43. Any IRQL up to DISPATCH_LEVEL.
  void InvalidateDeviceState(PDEVICE_OBJECT pdo);

  // Target device change notification on the device of `pdo`; 0 for an
  // unknown device. Registrations end when the device's stack is removed.
  uint64_t RegisterTargetNotification(PDEVICE_OBJECT pdo, TargetListener listener);
  void UnregisterTargetNotification(uint64_t registration);

  // How long a driver may hold a power or PnP IRP before the machine stops
  // with DRIVER_POWER_STATE_FAILURE; 0 turns the watchdog off.
  void SetIrpWatchdogLimit(VTime limit);

  // Handles open on the device's stack: REMOVE_DEVICE after a surprise
  // removal waits for the last one to close.
  void HandleOpened(PDEVICE_OBJECT pdo);
  void HandleClosed(PDEVICE_OBJECT pdo);

  // System power: QUERY_POWER (with the action) to every started device
  // (and to every surprise-removed stack that still waits for its handles),
  // then, when none refused, SET_POWER of the system state; their power
  // policy owners request the device states. PowerSystemWorking and a
  // critical transition (a battery running out) skip the query. When a
  // device refuses, the devices already asked get SET_POWER of the current
  // state, which cancels the query, and the result is false. A device that
  // left the bus while the machine slept is noticed when it wakes: after
  // every device had its SET_POWER S0 it is surprise-removed.
  bool SetSystemPower(SYSTEM_POWER_STATE state, POWER_ACTION action, bool critical = false);
  SYSTEM_POWER_STATE SystemState() const;
  // The action of the system SET_POWER being carried out, PowerActionNone
  // when none is: device power IRPs requested meanwhile carry it as their
  // ShutdownType, as on Windows.
  POWER_ACTION SystemPowerAction() const;

  // Waits until every queued action has run (including driver unloads) and
  // every start continuation has finished.
  void WaitIdle();

  std::vector<DeviceNodeInfo> Devices() const;
  std::optional<DeviceNodeInfo> Device(PDEVICE_OBJECT pdo) const;
  // Interfaces of a class (every class for null), registered this run.
  std::vector<DeviceInterfaceInfo> Interfaces(const GUID *classGuid, bool enabledOnly) const;
  void AddInterfaceListener(InterfaceListener listener);
  // The driver object of a loaded service, or null.
  PDRIVER_OBJECT LoadedDriver(const std::u16string &serviceName) const;

  // A function driver whose start goes on after START_DEVICE completed
  // (ks.sys's PostStart) reports it here. The manager goes on with the
  // device meanwhile, as Windows does; only WaitIdle waits for the finish.
  // A failed continuation is reported to the manager as Windows hears of
  // it, through IoInvalidateDeviceState.
  void StartContinues(PDEVICE_OBJECT pdo);
  void StartFinished(PDEVICE_OBJECT pdo, NTSTATUS status);

  // For the Io* device services (pnp_device_keys.cpp, pnp_interfaces.cpp):
  // the node of a PDO, or null.
  std::shared_ptr<DeviceNode> NodeOf(PDEVICE_OBJECT pdo) const;
  NTSTATUS RegisterInterface(PDEVICE_OBJECT pdo, const GUID &classGuid, const std::u16string &reference,
                             std::u16string *symbolicLink);
  NTSTATUS SetInterfaceState(const std::u16string &symbolicLink, bool enable);
  // The interface's key path, or empty for an unknown link.
  std::u16string InterfaceKeyPath(const std::u16string &symbolicLink) const;

 private:
  void RunAction(const char *what, std::function<void()> body);
  void QueueAction(const char *what, std::function<void()> body);

  void Arrive(PDEVICE_OBJECT pdo);
  void Enumerate(DeviceNode &node);
  void BindAndStart(const std::shared_ptr<DeviceNode> &node);
  bool LoadDriverFor(DeviceNode &node, DriverRecord &driver);
  bool AddAndStart(DeviceNode &node, DriverRecord &driver);
  bool StartStack(DeviceNode &node);
  void Leave(PDEVICE_OBJECT pdo);
  void Depart(PDEVICE_OBJECT pdo, bool surprise);
  void RemoveStack(const std::shared_ptr<DeviceNode> &node, ULONG problem = kProblemNone);
  NTSTATUS OrderlyRemove(const std::shared_ptr<DeviceNode> &node);
  NTSTATUS NotifyTarget(PDEVICE_OBJECT pdo, const GUID &event);
  void DropTargetRegistrations(PDEVICE_OBJECT pdo);
  void QueryDeviceState(const std::shared_ptr<DeviceNode> &node);
  void FailStack(const std::shared_ptr<DeviceNode> &node);
  void WaitStartSettled(PDEVICE_OBJECT pdo);
  bool WaitForOldInstance(const std::shared_ptr<DeviceNode> &node);
  void ArriveAfterOldInstance(const std::u16string &instancePath);
  void Install(const std::shared_ptr<DeviceNode> &node);
  void DepartDeferred();
  std::string NameOfTarget(PDEVICE_OBJECT target) const;
  void CancelQuery(const std::vector<std::shared_ptr<DeviceNode>> &asked);
  void Forget(const std::shared_ptr<DeviceNode> &node);
  void StackGone(const std::shared_ptr<DeviceNode> &node);
  void UnloadIfUnused(const std::u16string &serviceName, std::vector<PDEVICE_OBJECT> pdos);
  // The installed driver of that service, or null; m_lock held.
  DriverRecord *DriverLocked(const std::u16string &serviceName);
  void DisableInterfacesOf(PDEVICE_OBJECT pdo);
  DriverRecord *MatchDriver(const DeviceNode &node);
  void SetState(DeviceNode &node, DeviceNodeState state, ULONG problem);
  std::vector<std::shared_ptr<DeviceNode>> StartedNodes() const;
  void NotifyInterface(const DeviceInterfaceInfo &info, bool arrived);

  Scheduler &m_scheduler;
  std::unique_ptr<pnp::PnpActionQueue> m_queue;
  usb::UsbHost *m_usb = nullptr;

  mutable std::mutex m_lock;  // every map and node field below; never held across a call into a driver
  std::map<PDEVICE_OBJECT, std::shared_ptr<DeviceNode>> m_nodes;
  uint64_t m_nextOrder = 1;
  std::vector<std::unique_ptr<DriverRecord>> m_drivers;
  std::map<std::u16string, std::unique_ptr<InterfaceRecord>> m_interfaces;  // by upper-cased link
  std::vector<InterfaceListener> m_interfaceListeners;
  SYSTEM_POWER_STATE m_systemState = PowerSystemWorking;
  POWER_ACTION m_systemAction = PowerActionNone;
  // Departures while the machine sleeps, carried out when it wakes.
  std::vector<std::pair<PDEVICE_OBJECT, bool>> m_departedAsleep;
  // Arrivals whose instance path an old node still holds (its stack waits
  // for handles): enumerated and referenced, not yet in m_nodes.
  std::vector<std::shared_ptr<DeviceNode>> m_waitingArrivals;
  struct TargetRegistration {
    PDEVICE_OBJECT pdo;
    TargetListener listener;
  };
  std::map<uint64_t, TargetRegistration> m_targetListeners;
  uint64_t m_nextRegistration = 1;
  std::unique_ptr<pnp::IrpWatchdog> m_watchdog;
};

// The ks.sys-side hooks of StartContinues/StartFinished; nothing happens
// without a manager or for a PDO it does not know.
void PnpStartContinues(PDEVICE_OBJECT pdo);
void PnpStartFinished(PDEVICE_OBJECT pdo, NTSTATUS status);

}  // namespace winsim
