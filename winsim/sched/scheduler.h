// The simulated machine's scheduler: real OS threads, virtual time.
//
// Every thread that runs project code is a SimThread. Threads run concurrently,
// but virtual time advances only when every SimThread is blocked in a simulated
// wait; the scheduler then jumps straight to the earliest pending deadline and
// wakes the threads waiting for it. A long time-out costs nothing when nothing
// happens and never fires early because the host is busy.
//
// Locking: one dispatcher lock guards every dispatcher object, every wait and
// the clock, as the NT dispatcher lock does. Code called back under it
// (predicates of WaitUntil) must not call back into the scheduler.
#pragma once
#include <wdm.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <source_location>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace winsim {

using VTime = int64_t;  // 100 ns units since boot
inline constexpr VTime kTicksPerMicrosecond = 10;
inline constexpr VTime kTicksPerMillisecond = 10'000;
inline constexpr VTime kTicksPerSecond = 10'000'000;
inline constexpr VTime kInfinite = INT64_MAX;

enum class ThreadKind : uint8_t { Test, User, SystemWorker, Completion, Device };
const char *ThreadKindName(ThreadKind kind);

inline constexpr uint32_t kSystemProcessId = 4;

class Scheduler;

// One simulated thread. Owned jointly by the scheduler (while it runs) and by
// whoever holds a reference (handles, joiners). The embedded dispatcher header
// is signalled when the thread ends, so threads can be waited on.
class SimThread {
 public:
  SimThread(std::string name, ThreadKind kind, uint32_t processId, uint32_t id);
  SimThread(const SimThread &) = delete;
  SimThread &operator=(const SimThread &) = delete;

  const std::string &Name() const { return m_name; }
  ThreadKind Kind() const { return m_kind; }
  uint32_t ProcessId() const { return m_processId; }
  uint32_t Id() const { return m_id; }
  DISPATCHER_HEADER *ExitObject() { return &m_exit; }
  bool Exited() const;

  // IRQL and held spin locks belong to the thread and are only touched by it.
  KIRQL irql = PASSIVE_LEVEL;
  int spinLocksHeld = 0;
  // Scheduling priority a user-mode thread asked for (recorded, not used to
  // schedule: every runnable thread runs).
  int priority = 0;

 private:
  friend class Scheduler;
  struct WaitBlockRef;

  std::string m_name;
  ThreadKind m_kind;
  uint32_t m_processId;
  uint32_t m_id;
  DISPATCHER_HEADER m_exit{};
  std::thread m_os;

  // Wait state, guarded by the dispatcher lock.
  bool m_waiting = false;
  bool m_wakeReady = false;
  NTSTATUS m_wakeStatus = STATUS_SUCCESS;
  WAIT_TYPE m_waitType = WaitAny;
  KWAIT_BLOCK *m_blocks = nullptr;
  ULONG m_blockCount = 0;
  VTime m_deadline = kInfinite;
  uint64_t m_timerSeq = 0;
  const std::function<bool()> *m_predicate = nullptr;
  std::condition_variable m_cv;
  std::source_location m_waitSite;
};

class Scheduler {
 public:
  Scheduler();
  ~Scheduler();
  Scheduler(const Scheduler &) = delete;
  Scheduler &operator=(const Scheduler &) = delete;

  // The scheduler whose threads the calling code runs under. Exactly one is
  // active while a Machine exists.
  static Scheduler *Active();
  void Activate();
  void Deactivate();

  VTime Now() const { return m_now.load(std::memory_order_acquire); }

  // The SimThread of the calling OS thread, or null for a thread winsim does
  // not know.
  static SimThread *Current();
  // Same, but a bug check for an unknown thread: project code must only run
  // on simulated threads.
  static SimThread &RequireCurrent(const char *api);

  // Starts a thread. It counts as running from this call on, so time cannot
  // advance between the spawn and the new thread's first wait.
  std::shared_ptr<SimThread> Spawn(std::string name, ThreadKind kind, uint32_t processId,
                                   std::function<void()> body);
  // Makes the calling OS thread a SimThread (a test's main thread); balance
  // with Detach on the same thread.
  void Attach(std::string name, ThreadKind kind = ThreadKind::Test, uint32_t processId = 1000);
  void Detach();
  // Joins the OS threads of every spawned thread that has ended. Threads still
  // alive are returned by name.
  std::vector<std::string> ReapThreads();

  // Waits on dispatcher objects. deadline is absolute virtual time (kInfinite:
  // none). Returns STATUS_WAIT_0 + index, STATUS_SUCCESS for wait-all, or
  // STATUS_TIMEOUT. The IRQL rules are the caller's to check.
  NTSTATUS Wait(DISPATCHER_HEADER *const *objects, ULONG count, WAIT_TYPE type, VTime deadline,
                KWAIT_BLOCK *blocks, const std::source_location &site);
  // Blocks until pred() holds at a moment when every thread is blocked, or
  // until the deadline. Returns whether pred held.
  bool WaitUntil(const std::function<bool()> &pred, VTime deadline);

  // Dispatcher object operations, each atomic under the dispatcher lock.
  LONG SetEvent(DISPATCHER_HEADER *object);
  LONG ResetEvent(DISPATCHER_HEADER *object);
  LONG ReleaseSemaphore(DISPATCHER_HEADER *object, LONG adjustment, LONG limit, bool *overLimit);
  LONG ReadState(const DISPATCHER_HEADER *object);
  // Fast-mutex style ownership on a synchronization event: true when taken
  // without waiting.
  bool TryAcquire(DISPATCHER_HEADER *object);

  // Real-time pacing: virtual time never runs ahead of the wall clock scaled
  // by factor (1.0 = real time). 0 turns pacing off.
  void SetPacing(double factor);

  // With a seed, wake-ups that fall on one instant come in an order drawn
  // from it: threads whose time-outs end together, and the waiters one
  // signal releases (which of them a synchronization event or semaphore
  // lets through, in which order a notification event wakes them). Without
  // one (the default), in the order their waits began.
  void SetWakeShuffle(std::optional<uint64_t> seed);

  // A line per thread: name, kind, state and what it waits for.
  std::string DescribeThreads();
  // The first thread waiting on a dispatcher object in [begin, end), as
  // "thread 'name' waits on 0x… at file:line"; empty when none does.
  std::string DescribeWaiterIn(uintptr_t begin, uintptr_t end);

 private:
  using TimerKey = std::tuple<VTime, uint64_t, SimThread *>;

  void Run(std::shared_ptr<SimThread> thread, std::function<void()> body);
  void ThreadEndedLocked(SimThread &thread, std::unique_lock<std::mutex> &lock);
  bool SatisfiedLocked(SimThread &thread, ULONG *index);
  void ConsumeLocked(DISPATCHER_HEADER *object);
  void WakeLocked(SimThread &thread, NTSTATUS status);
  void UnlinkWaitLocked(SimThread &thread);
  void SignalledLocked(DISPATCHER_HEADER *object);
  void SignalledShuffledLocked(DISPATCHER_HEADER *object);
  void WakeSatisfiedLocked(SimThread &waiter, ULONG index);
  void WakeDueLocked(VTime due);
  void BlockedLocked(std::unique_lock<std::mutex> &lock);
  bool WakePredicatesLocked();
  void PaceLocked(std::unique_lock<std::mutex> &lock, VTime target);
  [[noreturn]] void DeadlockLocked();

  mutable std::mutex m_lock;
  std::condition_variable m_paceCv;
  std::atomic<VTime> m_now{0};
  int m_running = 0;
  uint32_t m_nextThreadId = 8;
  uint64_t m_nextTimerSeq = 1;
  std::set<TimerKey> m_timers;
  std::vector<std::shared_ptr<SimThread>> m_threads;
  std::vector<SimThread *> m_predicateWaiters;
  bool m_shuffle = false;
  std::mt19937_64 m_wakeRandom;
  double m_pacing = 0;
  VTime m_paceOriginVirtual = 0;
  std::chrono::steady_clock::time_point m_paceOriginWall;
};

// Attaches the calling thread for the lifetime of the guard.
class AttachedThread {
 public:
  explicit AttachedThread(Scheduler &scheduler, std::string name = "test", uint32_t processId = 1000)
      : m_scheduler(scheduler) {
    m_scheduler.Attach(std::move(name), ThreadKind::Test, processId);
  }
  ~AttachedThread() { m_scheduler.Detach(); }
  AttachedThread(const AttachedThread &) = delete;
  AttachedThread &operator=(const AttachedThread &) = delete;

 private:
  Scheduler &m_scheduler;
};

}  // namespace winsim
