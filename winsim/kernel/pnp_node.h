// The PnP manager's records: a device node per enumerated PDO, a record per
// installed driver package and one per registered device interface. Fields
// are guarded by PnpManager's lock unless said otherwise.
#pragma once
#include <wdm.h>

#include <string>
#include <vector>

#include "winsim/kernel/pnp_manager.h"

namespace winsim {

struct DeviceNode {
  DeviceNode();

  PDEVICE_OBJECT pdo = nullptr;
  uint64_t order = 0;  // enumeration order: power goes down in reverse, up in order

  // What the bus driver reported (set once, before the node is shared).
  std::u16string deviceId;    // USB\VID_2B5A&PID_8014
  std::u16string instanceId;  // serial number or a port-based id
  std::vector<std::u16string> hardwareIds;
  std::vector<std::u16string> compatibleIds;
  std::u16string description;
  std::u16string location;
  DEVICE_CAPABILITIES busCapabilities{};

  std::u16string enumKey;
  std::u16string driverKeyName;  // {class}\NNNN (DevicePropertyDriverKeyName)
  std::u16string service;
  GUID classGuid{};
  std::u16string className;
  DEVICE_CAPABILITIES capabilities{};  // the whole stack's answer after start

  DeviceNodeState state = DeviceNodeState::Enumerated;
  ULONG problem = kProblemNone;
  bool hasStack = false;  // a function driver's device sits on the PDO
  bool gone = false;      // the device left its bus
  NTSTATUS startStatus = STATUS_PENDING;
  NTSTATUS postStartStatus = STATUS_PENDING;
  ULONG openHandles = 0;

  // Signalled while no start continuation is outstanding; a notification
  // event, so it may be waited on without the lock.
  KEVENT startSettled{};

  std::u16string InstancePath() const { return deviceId + u"\\" + instanceId; }
  DeviceNodeInfo Info() const;
};

struct DriverRecord {
  DriverPackage package;
  PDRIVER_OBJECT object = nullptr;  // while loaded
  ULONG devices = 0;                // stacks the driver has a device in
  // Departed nodes whose PDO reference is still to go: the driver unloads
  // after the last of them (its leak check counts every pool block).
  ULONG releasesPending = 0;
};

struct InterfaceRecord {
  DeviceInterfaceInfo info;
};

}  // namespace winsim
