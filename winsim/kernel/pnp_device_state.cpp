// A device's state changed by someone other than its bus: the driver stack
// reporting itself failed (IoInvalidateDeviceState), disable and enable,
// and the notices handle holders registered for.
#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/pnp_irp.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/kernel/pnp_node.h"
#include "winsim/kernel/pnp_text.h"

namespace winsim {

void PnpManager::InvalidateDeviceState(PDEVICE_OBJECT pdo) {
  std::shared_ptr<DeviceNode> node = NodeOf(pdo);
  if (node == nullptr) return;
  QueueAction("device state invalidated", [this, node] { QueryDeviceState(node); });
}

// Asked only of a stack that is started: one that left or was removed
// meanwhile has nothing more to report.
void PnpManager::QueryDeviceState(const std::shared_ptr<DeviceNode> &node) {
  if (!node->hasStack || node->state != DeviceNodeState::Started) return;
  PDEVICE_OBJECT top = pnp::ReferenceTop(node->pdo);
  ULONG_PTR state = 0;
  NTSTATUS status = pnp::SendPnp(
      top, IRP_MN_QUERY_PNP_DEVICE_STATE, [](PIO_STACK_LOCATION) {}, &state);
  ObDereferenceObject(top);
  if (!NT_SUCCESS(status) || (state & PNP_DEVICE_FAILED) == 0) return;
  DebugLog::Append("pnp", pnp::Narrow(node->InstancePath()) + ": the driver stack reports the device failed");
  FailStack(node);
}

// As for a device that left, except that the node stays, with problem 43.
void PnpManager::FailStack(const std::shared_ptr<DeviceNode> &node) {
  DisableInterfacesOf(node->pdo);
  PDEVICE_OBJECT top = pnp::ReferenceTop(node->pdo);
  pnp::SendPnp(top, IRP_MN_SURPRISE_REMOVAL, {});
  ObDereferenceObject(top);
  SetState(*node, DeviceNodeState::SurpriseRemoved, kProblemFailedPostStart);
  NotifyTarget(node->pdo, kTargetDeviceRemoveComplete);
  ULONG handles;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    handles = node->openHandles;
  }
  if (handles > 0) {
    DebugLog::Append("pnp", pnp::Narrow(node->InstancePath()) + ": REMOVE_DEVICE waits for " +
                                std::to_string(handles) + " open handle(s)");
    return;
  }
  RemoveStack(node, kProblemFailedPostStart);
  DropTargetRegistrations(node->pdo);
  UnloadIfUnused(node->service, {});
}

NTSTATUS PnpManager::DisableDevice(PDEVICE_OBJECT pdo) {
  RequirePassive("disabling a device", std::source_location::current());
  NTSTATUS result = STATUS_INVALID_DEVICE_STATE;
  RunAction("disable device", [&] {
    std::shared_ptr<DeviceNode> node = NodeOf(pdo);
    if (node == nullptr || !node->hasStack || node->state != DeviceNodeState::Started || node->gone) return;
    result = OrderlyRemove(node);
    if (!NT_SUCCESS(result)) return;
    SetState(*node, DeviceNodeState::Removed, kProblemDisabled);
    UnloadIfUnused(node->service, {});
  });
  return result;
}

NTSTATUS PnpManager::EnableDevice(PDEVICE_OBJECT pdo) {
  RequirePassive("enabling a device", std::source_location::current());
  NTSTATUS result = STATUS_INVALID_DEVICE_STATE;
  RunAction("enable device", [&] {
    std::shared_ptr<DeviceNode> node = NodeOf(pdo);
    if (node == nullptr || node->hasStack || node->gone || node->state != DeviceNodeState::Removed) return;
    SetState(*node, DeviceNodeState::Enumerated, kProblemNone);
    BindAndStart(node);
    result = node->startStatus;
  });
  WaitStartSettled(pdo);
  return result;
}

uint64_t PnpManager::RegisterTargetNotification(PDEVICE_OBJECT pdo, TargetListener listener) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto node = m_nodes.find(pdo);
  if (node == m_nodes.end() || !node->second->hasStack) return 0;
  uint64_t registration = m_nextRegistration++;
  m_targetListeners[registration] = TargetRegistration{pdo, std::move(listener)};
  return registration;
}

void PnpManager::UnregisterTargetNotification(uint64_t registration) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_targetListeners.erase(registration);
}

// Every registration hears the notice, in registration order; the first
// failure is returned (the others still hear it, as each holder must learn
// of a query it may have to cancel).
NTSTATUS PnpManager::NotifyTarget(PDEVICE_OBJECT pdo, const GUID &event) {
  std::vector<uint64_t> registrations;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto &[id, registration] : m_targetListeners) {
      if (registration.pdo == pdo) registrations.push_back(id);
    }
  }
  NTSTATUS result = STATUS_SUCCESS;
  for (uint64_t id : registrations) {
    TargetListener listener;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      auto it = m_targetListeners.find(id);
      if (it == m_targetListeners.end()) continue;
      listener = it->second.listener;
    }
    NTSTATUS status = listener(event);
    if (NT_SUCCESS(result) && !NT_SUCCESS(status)) result = status;
  }
  return result;
}

void PnpManager::DropTargetRegistrations(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> guard(m_lock);
  for (auto it = m_targetListeners.begin(); it != m_targetListeners.end();) {
    it = it->second.pdo == pdo ? m_targetListeners.erase(it) : std::next(it);
  }
}

// Windows keeps one node per instance path: a device plugged again while
// its old node's stack still waits for handles waits until that node ends.
bool PnpManager::WaitForOldInstance(const std::shared_ptr<DeviceNode> &node) {
  std::lock_guard<std::mutex> guard(m_lock);
  for (const auto &[pdo, old] : m_nodes) {
    if (pnp::EqualNoCase(old->InstancePath(), node->InstancePath())) {
      m_waitingArrivals.push_back(node);
      return true;
    }
  }
  return false;
}

void PnpManager::ArriveAfterOldInstance(const std::u16string &instancePath) {
  std::shared_ptr<DeviceNode> next;
  for (auto it = m_waitingArrivals.begin(); it != m_waitingArrivals.end(); ++it) {
    if (!pnp::EqualNoCase((*it)->InstancePath(), instancePath)) continue;
    next = *it;
    m_waitingArrivals.erase(it);
    break;
  }
  if (next == nullptr) return;
  DebugLog::Append("pnp", pnp::Narrow(instancePath) + ": the old instance is gone; the waiting device goes on");
  Install(next);
}

}  // namespace winsim

VOID IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject) {
  winsim::RequireAtMostDispatch("IoInvalidateDeviceState", std::source_location::current());
  if (winsim::PnpManager *manager = winsim::PnpManager::Active()) manager->InvalidateDeviceState(PhysicalDeviceObject);
}
