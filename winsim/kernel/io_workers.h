// The system worker threads: a pool of SimThreads (kind SystemWorker,
// PASSIVE_LEVEL) that run work items.
//
// Serial (the default): six workers run items in the order they were
// queued, critical items first. One item runs at a time until it returns or
// blocks; only then does the next one start on another worker, so runs are
// deterministic and a work item that waits does not hold back the queue.
//
// Parallel mode (winsim/sched/parallel_mode.h): every item starts on a
// worker of its own after its start delay, at the same time as whatever
// else runs, as Windows' worker pool does; the pool grows as needed.
#pragma once
#include <wdm.h>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <source_location>
#include <string>
#include <vector>

#include "winsim/kernel/live_objects.h"
#include "winsim/sched/scheduler.h"

namespace winsim {

struct WorkEntry {
  // Runs the item's routine on a worker at PASSIVE_LEVEL. The memory holding
  // the entry may be freed by the routine.
  void (*run)(WorkEntry *entry);
  // Releases what the entry holds when shutdown discards it unrun.
  void (*discard)(WorkEntry *entry);
  // Referenced by Queue until the routine has returned; NULL for none.
  PDEVICE_OBJECT device;
  std::source_location queuedAt;
  // The driver's work item (IO_WORKITEM or WORK_QUEUE_ITEM) the entry stands for.
  const void *object;
  bool executive;  // ExQueueWorkItem: nothing keeps the driver loaded for it
  // Parallel mode: when the item may start, and whether a worker took it on.
  VTime startAt = 0;
  bool claimed = false;
};

class SystemWorkers {
 public:
  static constexpr int kThreads = 6;
  // Parallel mode: the pool grows up to this many workers; beyond them an
  // item waits for a worker to finish.
  static constexpr size_t kMaxThreads = 64;
  // Items that can run at once: kThreads, or kMaxThreads in parallel mode.
  // That many items that block keep every later one waiting.
  size_t Capacity() const { return m_parallel ? kMaxThreads : kThreads; }

  static SystemWorkers &Instance();

  // Spawns the workers (the Machine at boot).
  void Start(Scheduler &scheduler);
  // Lets running items return, discards queued ones and waits for the
  // workers to end. From an attached thread at PASSIVE_LEVEL.
  void Stop();

  void Queue(WorkEntry *entry, WORK_QUEUE_TYPE type);

  // Queued or running items of the driver's devices, one "queued at
  // file:line" / "running, queued at file:line" each; empty for none.
  std::string DescribeWorkFor(PDRIVER_OBJECT driver);
  // Queued items whose work item lies in [begin, end).
  std::vector<LiveObject> QueuedIn(uintptr_t begin, uintptr_t end);
  // Executive work items queued, or running (includeRunning).
  std::vector<LiveObject> ExecutiveWork(bool includeRunning);

 private:
  enum class Next { Stop, Run, StandBy, Sleep };
  struct Worker {
    KEVENT wake{};  // synchronization: an item waits for this idle worker
  };

  void WorkerLoop();
  // The next item for the calling worker, or NULL at shutdown.
  WorkEntry *NextEntry();
  Next DecideLocked(WorkEntry **entry);
  WorkEntry *StandBy();
  WorkEntry *Started(WorkEntry *entry);
  WorkEntry *TakeLocked();
  void RunEntry(WorkEntry *entry);

  void QueueParallel(WorkEntry *entry, bool critical);
  void SpawnWorker(std::unique_ptr<Worker> worker);
  void ParallelLoop(Worker *worker);
  WorkEntry *ClaimLocked();
  bool WaitForStart(VTime startAt);
  void BeginLocked(WorkEntry *entry);

  std::mutex m_lock;
  std::deque<WorkEntry *> m_critical;
  std::deque<WorkEntry *> m_delayed;
  // Per worker, a copy of the entry it runs (the original may be freed by its
  // routine).
  std::map<SimThread *, WorkEntry> m_running;
  int m_runningCount = 0;
  bool m_standbyTaken = false;
  std::atomic<int> m_queuedCount{0};
  std::atomic<bool> m_stopping{false};
  KEVENT m_wake{};  // synchronization: wakes one idle worker per queued item
  KEVENT m_stop{};  // notification
  Scheduler *m_scheduler = nullptr;
  std::vector<std::shared_ptr<SimThread>> m_threads;
  bool m_parallel = false;
  std::vector<std::unique_ptr<Worker>> m_pool;
  std::vector<Worker *> m_idle;
};

}  // namespace winsim
