// Departure of a device: orderly and surprise removal of its stack, the end
// of its node, and the unload of a driver left without devices.
#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/io_device.h"
#include "winsim/kernel/io_driver.h"
#include "winsim/kernel/pnp_irp.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/kernel/pnp_node.h"
#include "winsim/kernel/pnp_text.h"

namespace winsim {
namespace {

// How long an unload waits for the bus driver to delete the PDOs of the
// driver's departed devices; their device objects are pool until then.
constexpr VTime kPdoDeletionGrace = kTicksPerSecond;

}  // namespace

void PnpManager::DeviceLeaving(PDEVICE_OBJECT pdo) {
  RunAction("device leaving", [this, pdo] { Leave(pdo); });
}

void PnpManager::DeviceGone(PDEVICE_OBJECT pdo, bool surprise) {
  RunAction(surprise ? "device surprise-removed" : "device gone", [this, pdo, surprise] { Depart(pdo, surprise); });
}

// Asleep, nobody is there to ask: the device is simply pulled, and the
// manager hears of it when the machine wakes.
void PnpManager::Leave(PDEVICE_OBJECT pdo) {
  std::shared_ptr<DeviceNode> node = NodeOf(pdo);
  if (node == nullptr || !node->hasStack || node->state != DeviceNodeState::Started) return;
  if (SystemState() != PowerSystemWorking) return;
  OrderlyRemove(node);
}

// An orderly removal: handle holders registered for notices hear the query
// first and may veto it (or close their handles); open handles left veto it
// (nobody here closes them on request, as an application would); then the
// stack may veto it. Every veto is followed by the cancel notices.
NTSTATUS PnpManager::OrderlyRemove(const std::shared_ptr<DeviceNode> &node) {
  PDEVICE_OBJECT pdo = node->pdo;
  NTSTATUS status = NotifyTarget(pdo, kTargetDeviceQueryRemove);
  if (!NT_SUCCESS(status)) {
    NotifyTarget(pdo, kTargetDeviceRemoveCancelled);
    DebugLog::Append("pnp", pnp::Narrow(node->InstancePath()) + ": removal vetoed by a handle holder");
    return status;
  }
  ULONG handles;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    handles = node->openHandles;
  }
  if (handles > 0) {
    NotifyTarget(pdo, kTargetDeviceRemoveCancelled);
    DebugLog::Append("pnp", pnp::Narrow(node->InstancePath()) + ": removal vetoed, " + std::to_string(handles) +
                                " handle(s) open");
    return STATUS_DEVICE_BUSY;
  }
  PDEVICE_OBJECT top = pnp::ReferenceTop(pdo);
  status = pnp::SendPnp(top, IRP_MN_QUERY_REMOVE_DEVICE, {});
  if (!NT_SUCCESS(status)) {
    pnp::SendPnp(top, IRP_MN_CANCEL_REMOVE_DEVICE, {});
    ObDereferenceObject(top);
    NotifyTarget(pdo, kTargetDeviceRemoveCancelled);
    DebugLog::Append("pnp", pnp::Narrow(node->InstancePath()) + ": removal vetoed by the driver stack");
    return status;
  }
  ObDereferenceObject(top);
  RemoveStack(node);
  NotifyTarget(pdo, kTargetDeviceRemoveComplete);
  DropTargetRegistrations(pdo);
  return STATUS_SUCCESS;
}

void PnpManager::Depart(PDEVICE_OBJECT pdo, bool surprise) {
  if (SystemState() != PowerSystemWorking) {
    DebugLog::Append("pnp", "a device left while the machine sleeps; noticed when it wakes");
    m_departedAsleep.emplace_back(pdo, surprise);
    return;
  }
  std::shared_ptr<DeviceNode> waiting;
  for (auto it = m_waitingArrivals.begin(); it != m_waitingArrivals.end(); ++it) {
    if ((*it)->pdo != pdo) continue;
    waiting = *it;
    m_waitingArrivals.erase(it);
    break;
  }
  if (waiting != nullptr) {
    QueueAction("waiting arrival left", [pdo] { ObDereferenceObject(pdo); });
    return;
  }
  std::shared_ptr<DeviceNode> node = NodeOf(pdo);
  if (node == nullptr) return;
  ULONG handles;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    node->gone = true;
    handles = node->openHandles;
  }
  if (node->hasStack && node->state != DeviceNodeState::SurpriseRemoved) {
    if (!surprise) DebugLog::Append("pnp", pnp::Narrow(node->InstancePath()) + ": left with its stack in place");
    DisableInterfacesOf(pdo);
    PDEVICE_OBJECT top = pnp::ReferenceTop(pdo);
    pnp::SendPnp(top, IRP_MN_SURPRISE_REMOVAL, {});
    ObDereferenceObject(top);
    SetState(*node, DeviceNodeState::SurpriseRemoved, node->problem);
    NotifyTarget(pdo, kTargetDeviceRemoveComplete);
    std::lock_guard<std::mutex> guard(m_lock);
    handles = node->openHandles;
  }
  if (node->hasStack) {
    if (handles > 0) {
      DebugLog::Append("pnp", pnp::Narrow(node->InstancePath()) + ": REMOVE_DEVICE waits for " +
                                  std::to_string(handles) + " open handle(s)");
      return;
    }
    RemoveStack(node, node->problem);
  }
  Forget(node);
}

void PnpManager::DepartDeferred() {
  std::vector<std::pair<PDEVICE_OBJECT, bool>> departed;
  departed.swap(m_departedAsleep);
  for (const auto &[pdo, surprise] : departed) Depart(pdo, true);
}

// REMOVE_DEVICE cannot fail; afterwards the stack is gone.
void PnpManager::RemoveStack(const std::shared_ptr<DeviceNode> &node, ULONG problem) {
  if (node == nullptr || !node->hasStack) return;
  DisableInterfacesOf(node->pdo);
  PDEVICE_OBJECT top = pnp::ReferenceTop(node->pdo);
  pnp::SendPnp(top, IRP_MN_REMOVE_DEVICE, {});
  ObDereferenceObject(top);
  {
    std::lock_guard<std::mutex> guard(m_lock);
    node->hasStack = false;
    for (auto &driver : m_drivers) {
      if (pnp::EqualNoCase(driver->package.serviceName, node->service) && driver->devices > 0) --driver->devices;
    }
  }
  SetState(*node, DeviceNodeState::Removed, problem);
}

// The device left and its stack is gone: the node ends, and its driver is
// unloaded when no other device uses it.
void PnpManager::Forget(const std::shared_ptr<DeviceNode> &node) {
  DisableInterfacesOf(node->pdo);
  DropTargetRegistrations(node->pdo);
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_nodes.erase(node->pdo);
    for (auto &[link, record] : m_interfaces) {
      if (record->info.pdo == node->pdo) record->info.pdo = nullptr;
    }
    if (DriverRecord *driver = DriverLocked(node->service)) ++driver->releasesPending;
  }
  DebugLog::Append("pnp", pnp::Narrow(node->InstancePath()) + ": node removed");
  ArriveAfterOldInstance(node->InstancePath());
  // Queued: the bus driver may still use the PDO after it told us the device
  // is gone; the node's reference goes once every thread has settled.
  QueueAction("device node released", [this, service = node->service, pdo = node->pdo] {
    m_scheduler.WaitUntil([] { return true; }, m_scheduler.Now() + kPdoDeletionGrace);
    ObDereferenceObject(pdo);
    {
      std::lock_guard<std::mutex> guard(m_lock);
      if (DriverRecord *driver = DriverLocked(service)) --driver->releasesPending;
    }
    if (!service.empty()) UnloadIfUnused(service, {pdo});
  });
}

DriverRecord *PnpManager::DriverLocked(const std::u16string &serviceName) {
  if (serviceName.empty()) return nullptr;
  for (auto &record : m_drivers) {
    if (pnp::EqualNoCase(record->package.serviceName, serviceName)) return record.get();
  }
  return nullptr;
}

// Unloads once none of the driver's nodes remains. The departed PDOs must be
// deleted first: the unload's leak check counts every pool block.
void PnpManager::UnloadIfUnused(const std::u16string &serviceName, std::vector<PDEVICE_OBJECT> pdos) {
  DriverRecord *driver = nullptr;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto &record : m_drivers) {
      if (pnp::EqualNoCase(record->package.serviceName, serviceName)) driver = record.get();
    }
    // Two devices that leave together queue two releases: the first must not
    // unload while the second still holds its PDO.
    if (driver == nullptr || driver->object == nullptr || driver->devices > 0 || driver->releasesPending > 0) return;
    // A node the driver's device left (failed or disabled) still holds
    // its PDO, which the unload's leak check would count: the driver stays
    // loaded until that device leaves too.
    for (const auto &[pdo, node] : m_nodes) {
      if (pnp::EqualNoCase(node->service, serviceName)) return;
    }
  }
  // The predicate runs under the scheduler's lock; IsLiveDevice only takes
  // the device table's lock, which is never held while calling the scheduler.
  m_scheduler.WaitUntil(
      [&pdos] {
        for (PDEVICE_OBJECT pdo : pdos) {
          if (IsLiveDevice(pdo)) return false;
        }
        return true;
      },
      m_scheduler.Now() + kPdoDeletionGrace);
  PDRIVER_OBJECT object;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    object = driver->object;
    driver->object = nullptr;
  }
  DebugLog::Append("pnp", "unloading " + pnp::Narrow(serviceName) + ": its last device is gone");
  UnloadDriver(object);
}

}  // namespace winsim
