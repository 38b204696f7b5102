#include "winsim/kernel/io_workers.h"

#include <algorithm>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/sched/parallel_mode.h"

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
  m_parallel = ParallelMode::Instance().On();
  KeInitializeEvent(&m_wake, SynchronizationEvent, FALSE);
  KeInitializeEvent(&m_stop, NotificationEvent, FALSE);
  if (m_parallel) {
    for (int i = 0; i < kThreads; ++i) SpawnWorker(std::make_unique<Worker>());
    return;
  }
  for (int i = 1; i <= kThreads; ++i) {
    m_threads.push_back(scheduler.Spawn("system worker " + std::to_string(i), ThreadKind::SystemWorker,
                                        kSystemProcessId, [this] { WorkerLoop(); }));
  }
}

void SystemWorkers::Stop() {
  if (m_scheduler == nullptr) return;
  m_stopping = true;
  KeSetEvent(&m_stop, IO_NO_INCREMENT, FALSE);
  std::vector<std::shared_ptr<SimThread>> threads;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    threads.swap(m_threads);
  }
  for (auto &thread : threads) {
    KeWaitForSingleObject(thread->ExitObject(), Executive, KernelMode, FALSE, nullptr);
  }
  std::deque<WorkEntry *> discarded;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    discarded.insert(discarded.end(), m_critical.begin(), m_critical.end());
    discarded.insert(discarded.end(), m_delayed.begin(), m_delayed.end());
    m_critical.clear();
    m_delayed.clear();
    m_running.clear();
    m_idle.clear();
    m_pool.clear();
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
  bool critical = type == CriticalWorkQueue || type == HyperCriticalWorkQueue || type == SuperCriticalWorkQueue ||
                  type == RealTimeWorkQueue;
  if (m_parallel) {
    QueueParallel(entry, critical);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(m_lock);
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

// Parallel mode. Each queued item wakes an idle worker or, when none is
// idle, a new one; a worker that finishes takes any item no worker took on
// yet before it goes idle.
void SystemWorkers::QueueParallel(WorkEntry *entry, bool critical) {
  entry->startAt = m_scheduler->Now() + ParallelMode::Instance().WorkItemDelay();
  entry->claimed = false;
  Worker *idle = nullptr;
  bool grow = false;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    (critical ? m_critical : m_delayed).push_back(entry);
    ++m_queuedCount;
    if (!m_idle.empty()) {
      idle = m_idle.back();
      m_idle.pop_back();
    } else {
      grow = m_pool.size() < kMaxThreads;
    }
  }
  if (idle != nullptr) {
    KeSetEvent(&idle->wake, IO_NO_INCREMENT, FALSE);
  } else if (grow) {
    SpawnWorker(std::make_unique<Worker>());
  }
}

void SystemWorkers::SpawnWorker(std::unique_ptr<Worker> worker) {
  KeInitializeEvent(&worker->wake, SynchronizationEvent, FALSE);
  Worker *raw = worker.get();
  std::string name;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_pool.push_back(std::move(worker));
    name = "system worker " + std::to_string(m_pool.size());
  }
  auto thread =
      m_scheduler->Spawn(name, ThreadKind::SystemWorker, kSystemProcessId, [this, raw] { ParallelLoop(raw); });
  std::lock_guard<std::mutex> guard(m_lock);
  m_threads.push_back(std::move(thread));
}

WorkEntry *SystemWorkers::ClaimLocked() {
  for (auto *queue : {&m_critical, &m_delayed}) {
    for (WorkEntry *entry : *queue) {
      if (entry->claimed) continue;
      entry->claimed = true;
      return entry;
    }
  }
  return nullptr;
}

// False when the machine stops first; the item stays queued and Stop
// discards it.
bool SystemWorkers::WaitForStart(VTime startAt) {
  VTime now = m_scheduler->Now();
  if (startAt <= now) return !m_stopping;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -(startAt - now);
  return KeWaitForSingleObject(&m_stop, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT;
}

void SystemWorkers::BeginLocked(WorkEntry *entry) {
  for (auto *queue : {&m_critical, &m_delayed}) {
    auto it = std::find(queue->begin(), queue->end(), entry);
    if (it != queue->end()) queue->erase(it);
  }
  --m_queuedCount;
  ++m_runningCount;
  m_running[Scheduler::Current()] = *entry;
}

void SystemWorkers::ParallelLoop(Worker *worker) {
  for (;;) {
    WorkEntry *entry = nullptr;
    VTime startAt = 0;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      if (m_stopping) return;
      entry = ClaimLocked();
      if (entry != nullptr) {
        startAt = entry->startAt;
      } else {
        m_idle.push_back(worker);
      }
    }
    if (entry == nullptr) {
      PVOID objects[2] = {&worker->wake, &m_stop};
      KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
      continue;
    }
    if (!WaitForStart(startAt)) return;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      BeginLocked(entry);
    }
    RunEntry(entry);
  }
}

}  // namespace winsim
