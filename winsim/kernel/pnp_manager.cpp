#include "winsim/kernel/pnp_manager.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <shared_mutex>

#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/pnp_keys.h"
#include "winsim/kernel/pnp_node.h"
#include "winsim/kernel/pnp_queue.h"
#include "winsim/kernel/pnp_text.h"
#include "winsim/kernel/pnp_watchdog.h"

namespace winsim {
namespace {

std::atomic<PnpManager *> g_active{nullptr};
// Held shared while a handle notification uses the active manager, and
// exclusively while the manager stops being active.
std::shared_mutex g_activeLock;

}  // namespace

const char *DeviceNodeStateName(DeviceNodeState state) {
  switch (state) {
    case DeviceNodeState::Enumerated: return "enumerated";
    case DeviceNodeState::NoDriver: return "no driver";
    case DeviceNodeState::Failed: return "failed";
    case DeviceNodeState::Started: return "started";
    case DeviceNodeState::SurpriseRemoved: return "surprise-removed";
    case DeviceNodeState::Removed: return "removed";
  }
  return "?";
}

DeviceNode::DeviceNode() { KeInitializeEvent(&startSettled, NotificationEvent, TRUE); }

DeviceNodeInfo DeviceNode::Info() const {
  DeviceNodeInfo info;
  info.pdo = pdo;
  info.instancePath = InstancePath();
  info.hardwareIds = hardwareIds;
  info.compatibleIds = compatibleIds;
  info.deviceId = deviceId;
  info.description = description;
  info.location = location;
  info.enumKey = enumKey;
  info.driverKeyName = driverKeyName;
  info.classGuid = classGuid;
  info.className = className;
  info.driverKey = driverKeyName.empty() ? std::u16string() : std::u16string(pnp::kClassRoot) + u"\\" + driverKeyName;
  info.service = service;
  info.state = state;
  info.problem = problem;
  info.startStatus = startStatus;
  info.postStartStatus = postStartStatus;
  info.openHandles = openHandles;
  info.capabilities = capabilities;
  return info;
}

PnpManager::PnpManager(Scheduler &scheduler)
    : m_scheduler(scheduler), m_queue(std::make_unique<pnp::PnpActionQueue>()) {
  m_watchdog = std::make_unique<pnp::IrpWatchdog>(
      scheduler, [this](PDEVICE_OBJECT target) { return NameOfTarget(target); });
  g_active.store(this);
}

PnpManager::~PnpManager() {
  Shutdown();
  {
    std::unique_lock<std::shared_mutex> guard(g_activeLock);
    PnpManager *self = this;
    g_active.compare_exchange_strong(self, nullptr);
  }
  // A handle closed while the manager shut down may have queued its removal.
  if (Scheduler::Current() != nullptr) m_queue->WaitIdle();
}

PnpManager *PnpManager::Active() { return g_active.load(); }

void PnpManager::NoteHandleOpened(PDEVICE_OBJECT pdo) {
  std::shared_lock<std::shared_mutex> guard(g_activeLock);
  if (PnpManager *manager = g_active.load()) manager->HandleOpened(pdo);
}

void PnpManager::NoteHandleClosed(PDEVICE_OBJECT pdo) {
  std::shared_lock<std::shared_mutex> guard(g_activeLock);
  if (PnpManager *manager = g_active.load()) manager->HandleClosed(pdo);
}

void PnpManager::RunAction(const char *what, std::function<void()> body) { m_queue->Run(what, std::move(body)); }

void PnpManager::QueueAction(const char *what, std::function<void()> body) { m_queue->Queue(what, std::move(body)); }

// A start continuation that fails queues more actions (the device state is
// asked for) before it counts as settled; the loop ends once a pass found
// nothing unsettled and the queue still idle after that, since a
// continuation may have settled (and queued) between the two waits.
// Bounded: every pass but the last waited for something that then finished.
void PnpManager::WaitIdle() {
  constexpr int kMaxPasses = 64;
  for (int pass = 0; pass < kMaxPasses; ++pass) {
    m_queue->WaitIdle();
    if (m_queue->OnQueueThread()) return;
    std::vector<std::shared_ptr<DeviceNode>> nodes;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      for (const auto &[pdo, node] : m_nodes) nodes.push_back(node);
    }
    bool waited = false;
    for (const auto &node : nodes) {
      if (KeReadStateEvent(&node->startSettled) != 0) continue;
      KeWaitForSingleObject(&node->startSettled, Executive, KernelMode, FALSE, nullptr);
      waited = true;
    }
    if (!waited && m_queue->Idle()) return;
  }
}

void PnpManager::WaitStartSettled(PDEVICE_OBJECT pdo) {
  std::shared_ptr<DeviceNode> node = NodeOf(pdo);
  if (node != nullptr) KeWaitForSingleObject(&node->startSettled, Executive, KernelMode, FALSE, nullptr);
  m_queue->WaitIdle();
}

void PnpManager::SetIrpWatchdogLimit(VTime limit) { m_watchdog->SetLimit(limit); }

std::string PnpManager::NameOfTarget(PDEVICE_OBJECT target) const {
  std::lock_guard<std::mutex> guard(m_lock);
  for (const auto &[pdo, node] : m_nodes) {
    for (PDEVICE_OBJECT device = pdo; device != nullptr; device = device->AttachedDevice) {
      if (device == target) return pnp::Narrow(node->InstancePath());
    }
  }
  return "an unknown device";
}

void PnpManager::SetState(DeviceNode &node, DeviceNodeState state, ULONG problem) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    node.state = state;
    node.problem = problem;
  }
  std::string text = pnp::Narrow(node.InstancePath()) + ": " + DeviceNodeStateName(state);
  if (problem != kProblemNone) text += ", problem " + std::to_string(problem);
  DebugLog::Append("pnp", text);
}

std::shared_ptr<DeviceNode> PnpManager::NodeOf(PDEVICE_OBJECT pdo) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_nodes.find(pdo);
  return it == m_nodes.end() ? nullptr : it->second;
}

std::vector<DeviceNodeInfo> PnpManager::Devices() const {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<std::pair<uint64_t, DeviceNodeInfo>> ordered;
  for (const auto &[pdo, node] : m_nodes) ordered.emplace_back(node->order, node->Info());
  std::sort(ordered.begin(), ordered.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
  std::vector<DeviceNodeInfo> devices;
  for (auto &[order, info] : ordered) devices.push_back(std::move(info));
  return devices;
}

std::optional<DeviceNodeInfo> PnpManager::Device(PDEVICE_OBJECT pdo) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_nodes.find(pdo);
  if (it == m_nodes.end()) return std::nullopt;
  return it->second->Info();
}

PDRIVER_OBJECT PnpManager::LoadedDriver(const std::u16string &serviceName) const {
  std::lock_guard<std::mutex> guard(m_lock);
  for (const auto &driver : m_drivers) {
    if (pnp::EqualNoCase(driver->package.serviceName, serviceName)) return driver->object;
  }
  return nullptr;
}

std::vector<std::shared_ptr<DeviceNode>> PnpManager::StartedNodes() const {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<std::shared_ptr<DeviceNode>> started;
  for (const auto &[pdo, node] : m_nodes) {
    bool inPowerTree = node->state == DeviceNodeState::Started || node->state == DeviceNodeState::SurpriseRemoved;
    if (inPowerTree && node->hasStack) started.push_back(node);
  }
  std::sort(started.begin(), started.end(), [](const auto &a, const auto &b) { return a->order < b->order; });
  return started;
}

void PnpManager::StartContinues(PDEVICE_OBJECT pdo) {
  std::shared_ptr<DeviceNode> node = NodeOf(pdo);
  if (node == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    node->postStartStatus = STATUS_PENDING;
  }
  KeClearEvent(&node->startSettled);
}

void PnpManager::StartFinished(PDEVICE_OBJECT pdo, NTSTATUS status) {
  std::shared_ptr<DeviceNode> node = NodeOf(pdo);
  if (node == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    node->postStartStatus = status;
  }
  if (!NT_SUCCESS(status)) {
    char code[16];
    std::snprintf(code, sizeof code, "%08X", static_cast<unsigned>(status));
    DebugLog::Append("pnp", pnp::Narrow(node->InstancePath()) + ": start continuation failed with status " + code);
  }
  KeSetEvent(&node->startSettled, IO_NO_INCREMENT, FALSE);
}

void PnpManager::HandleOpened(PDEVICE_OBJECT pdo) {
  std::shared_ptr<DeviceNode> node = NodeOf(pdo);
  if (node == nullptr) return;
  std::lock_guard<std::mutex> guard(m_lock);
  ++node->openHandles;
}

void PnpManager::HandleClosed(PDEVICE_OBJECT pdo) {
  std::shared_ptr<DeviceNode> node = NodeOf(pdo);
  if (node == nullptr) return;
  bool removeNow = false;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (node->openHandles > 0) --node->openHandles;
    removeNow = node->openHandles == 0 && node->state == DeviceNodeState::SurpriseRemoved;
  }
  if (removeNow) {
    QueueAction("last handle closed after surprise removal", [this, node] {
      if (node->state != DeviceNodeState::SurpriseRemoved) return;
      RemoveStack(node, node->problem);
      DropTargetRegistrations(node->pdo);
      if (node->gone) {
        Forget(node);
      } else {
        UnloadIfUnused(node->service, {});
      }
    });
  }
}

void PnpStartContinues(PDEVICE_OBJECT pdo) {
  if (PnpManager *manager = PnpManager::Active()) manager->StartContinues(pdo);
}

void PnpStartFinished(PDEVICE_OBJECT pdo, NTSTATUS status) {
  if (PnpManager *manager = PnpManager::Active()) manager->StartFinished(pdo, status);
}

}  // namespace winsim
