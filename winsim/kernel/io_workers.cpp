#include "winsim/kernel/io_workers.h"

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/io_rules.h"

namespace winsim {
SystemWorkers &SystemWorkers::Instance() {
  static SystemWorkers workers;
  return workers;
}

void SystemWorkers::Start(Scheduler &scheduler) {
  m_scheduler = &scheduler;
  m_stopping = false;
  m_queuedCount = 0;
  m_runningCount = 0;
  m_standbyTaken = false;
  KeInitializeEvent(&m_wake, SynchronizationEvent, FALSE);
  KeInitializeEvent(&m_stop, NotificationEvent, FALSE);
  for (int i = 1; i <= kThreads; ++i) {
    m_threads.push_back(scheduler.Spawn("system worker " + std::to_string(i), ThreadKind::SystemWorker,
                                        kSystemProcessId, [this] { WorkerLoop(); }));
  }
}

void SystemWorkers::Stop() {
  if (m_scheduler == nullptr) return;
  m_stopping = true;
  KeSetEvent(&m_stop, IO_NO_INCREMENT, FALSE);
  for (auto &thread : m_threads) {
    KeWaitForSingleObject(thread->ExitObject(), Executive, KernelMode, FALSE, nullptr);
  }
  m_threads.clear();
  std::deque<WorkEntry *> discarded;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    discarded.insert(discarded.end(), m_critical.begin(), m_critical.end());
    discarded.insert(discarded.end(), m_delayed.begin(), m_delayed.end());
    m_critical.clear();
    m_delayed.clear();
    m_running.clear();
  }
  for (WorkEntry *entry : discarded) {
    DebugLog::Append("io", "work item queued at " + SiteText(entry->queuedAt) + " discarded at shutdown");
    PDEVICE_OBJECT device = entry->device;
    entry->discard(entry);
    if (device != nullptr) ObDereferenceObject(device);
  }
  m_scheduler = nullptr;
}

void SystemWorkers::Queue(WorkEntry *entry, WORK_QUEUE_TYPE type) {
  if (m_scheduler == nullptr || m_stopping) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, "work item queued while no system worker runs",
             entry->queuedAt);
  }
  if (entry->device != nullptr) ObReferenceObject(entry->device, entry->queuedAt);
  {
    std::lock_guard<std::mutex> guard(m_lock);
    bool critical = type == CriticalWorkQueue || type == HyperCriticalWorkQueue || type == SuperCriticalWorkQueue ||
                    type == RealTimeWorkQueue;
    (critical ? m_critical : m_delayed).push_back(entry);
    ++m_queuedCount;
  }
  KeSetEvent(&m_wake, IO_NO_INCREMENT, FALSE);
}

std::string SystemWorkers::DescribeWorkFor(PDRIVER_OBJECT driver) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::string text;
  auto add = [&](const WorkEntry &entry, const char *state) {
    if (entry.device == nullptr || entry.device->DriverObject != driver) return;
    if (!text.empty()) text += "; ";
    text += std::string(state) + "queued at " + SiteText(entry.queuedAt);
  };
  for (const WorkEntry *entry : m_critical) add(*entry, "");
  for (const WorkEntry *entry : m_delayed) add(*entry, "");
  for (const auto &running : m_running) add(running.second, "running, ");
  return text;
}

std::vector<LiveObject> SystemWorkers::QueuedIn(uintptr_t begin, uintptr_t end) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<LiveObject> live;
  for (const auto *queue : {&m_critical, &m_delayed}) {
    for (const WorkEntry *entry : *queue) {
      auto address = reinterpret_cast<uintptr_t>(entry->object);
      if (address < begin || address >= end) continue;
      live.push_back({BugCode::kWorkerInvalid, entry->object,
                      "work item " + Hex(entry->object) + " queued at " + SiteText(entry->queuedAt)});
    }
  }
  return live;
}

std::vector<LiveObject> SystemWorkers::ExecutiveWork(bool includeRunning) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<LiveObject> live;
  auto add = [&live](const WorkEntry &entry, const char *state) {
    if (!entry.executive) return;
    live.push_back({BugCode::kDriverUnloadedWithoutCancellingPendingOperations, entry.object,
                    "executive work item " + Hex(entry.object) + " " + state + ", queued at " +
                        SiteText(entry.queuedAt)});
  };
  for (const auto *queue : {&m_critical, &m_delayed}) {
    for (const WorkEntry *entry : *queue) add(*entry, "queued");
  }
  if (!includeRunning) return live;
  for (const auto &running : m_running) add(running.second, "running");
  return live;
}

void SystemWorkers::WorkerLoop() {
  while (WorkEntry *entry = NextEntry()) RunEntry(entry);
}

WorkEntry *SystemWorkers::TakeLocked() {
  std::deque<WorkEntry *> &queue = m_critical.empty() ? m_delayed : m_critical;
  WorkEntry *entry = queue.front();
  queue.pop_front();
  --m_queuedCount;
  ++m_runningCount;
  m_running[Scheduler::Current()] = *entry;
  return entry;
}

// An item starts at once when no other routine runs; otherwise one idle
// worker stands by until every simulated thread is blocked (so every running
// routine waits) and starts it then. The others sleep until work is queued.
SystemWorkers::Next SystemWorkers::DecideLocked(WorkEntry **entry) {
  if (m_stopping) return Next::Stop;
  if (m_queuedCount == 0) return Next::Sleep;
  if (m_runningCount == 0) {
    *entry = TakeLocked();
    return Next::Run;
  }
  if (m_standbyTaken) return Next::Sleep;
  m_standbyTaken = true;
  return Next::StandBy;
}

WorkEntry *SystemWorkers::StandBy() {
  m_scheduler->WaitUntil([this] { return m_stopping.load() || m_queuedCount.load() > 0; }, kInfinite);
  std::lock_guard<std::mutex> guard(m_lock);
  m_standbyTaken = false;
  return !m_stopping && m_queuedCount > 0 ? TakeLocked() : nullptr;
}

// Another worker must take over standing by for what is still queued.
WorkEntry *SystemWorkers::Started(WorkEntry *entry) {
  if (m_queuedCount.load() > 0) KeSetEvent(&m_wake, IO_NO_INCREMENT, FALSE);
  return entry;
}

WorkEntry *SystemWorkers::NextEntry() {
  for (;;) {
    WorkEntry *entry = nullptr;
    Next next;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      next = DecideLocked(&entry);
    }
    switch (next) {
      case Next::Stop:
        return nullptr;
      case Next::Run:
        return Started(entry);
      case Next::StandBy:
        entry = StandBy();
        if (entry != nullptr) return Started(entry);
        break;
      case Next::Sleep: {
        PVOID objects[2] = {&m_wake, &m_stop};
        KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        break;
      }
    }
  }
}

void SystemWorkers::RunEntry(WorkEntry *entry) {
  PDEVICE_OBJECT device = entry->device;
  std::source_location queuedAt = entry->queuedAt;
  entry->run(entry);
  RequireIrqlRestored("work item routine", PASSIVE_LEVEL, queuedAt);
  {
    std::lock_guard<std::mutex> guard(m_lock);
    --m_runningCount;
    m_running.erase(Scheduler::Current());
  }
  if (device != nullptr) ObDereferenceObject(device);
}

}  // namespace winsim
