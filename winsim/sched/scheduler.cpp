#include "winsim/sched/scheduler.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/thread_exit.h"

namespace winsim {
namespace {

Scheduler *g_active = nullptr;
thread_local SimThread *t_current = nullptr;

SimThread *ThreadOfBlock(const KWAIT_BLOCK *block) { return reinterpret_cast<SimThread *>(block->Thread); }

bool IsSignalled(const DISPATCHER_HEADER *object) { return object->SignalState > 0; }

}  // namespace

const char *ThreadKindName(ThreadKind kind) {
  switch (kind) {
    case ThreadKind::Test: return "test";
    case ThreadKind::User: return "user";
    case ThreadKind::SystemWorker: return "system worker";
    case ThreadKind::Completion: return "completion";
    case ThreadKind::Device: return "device";
  }
  return "?";
}

SimThread::SimThread(std::string name, ThreadKind kind, uint32_t processId, uint32_t id)
    : m_name(std::move(name)), m_kind(kind), m_processId(processId), m_id(id) {
  m_exit.Type = WinsimThreadObject;
  InitializeListHead(&m_exit.WaitListHead);
}

bool SimThread::Exited() const { return __atomic_load_n(&m_exit.SignalState, __ATOMIC_ACQUIRE) > 0; }

Scheduler::Scheduler() = default;

Scheduler::~Scheduler() {
  std::vector<std::string> alive = ReapThreads();
  if (!alive.empty()) {
    std::string names;
    for (const std::string &name : alive) names += " '" + name + "'";
    std::fprintf(stderr, "winsim: scheduler destroyed with threads still alive:%s\n%s", names.c_str(),
                 DescribeThreads().c_str());
    std::abort();
  }
  if (g_active == this) g_active = nullptr;
}

Scheduler *Scheduler::Active() { return g_active; }
void Scheduler::Activate() { g_active = this; }
void Scheduler::Deactivate() {
  if (g_active == this) g_active = nullptr;
}

SimThread *Scheduler::Current() { return t_current; }

SimThread &Scheduler::RequireCurrent(const char *api) {
  if (t_current == nullptr) {
    std::fprintf(stderr, "winsim: %s called from a thread that is not simulated; attach it first\n", api);
    std::abort();
  }
  return *t_current;
}

std::shared_ptr<SimThread> Scheduler::Spawn(std::string name, ThreadKind kind, uint32_t processId,
                                            std::function<void()> body) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto thread = std::make_shared<SimThread>(std::move(name), kind, processId, m_nextThreadId);
  m_nextThreadId += 4;
  m_threads.push_back(thread);
  ++m_running;
  thread->m_os = std::thread(&Scheduler::Run, this, thread, std::move(body));
  return thread;
}

void Scheduler::Run(std::shared_ptr<SimThread> thread, std::function<void()> body) {
  t_current = thread.get();
  body();
  RequireNothingHeldAtThreadExit(*thread);
  std::unique_lock<std::mutex> lock(m_lock);
  ThreadEndedLocked(*thread, lock);
  t_current = nullptr;
}

void Scheduler::Attach(std::string name, ThreadKind kind, uint32_t processId) {
  if (t_current != nullptr) {
    std::fprintf(stderr, "winsim: thread '%s' attached twice\n", t_current->Name().c_str());
    std::abort();
  }
  std::lock_guard<std::mutex> guard(m_lock);
  auto thread = std::make_shared<SimThread>(std::move(name), kind, processId, m_nextThreadId);
  m_nextThreadId += 4;
  m_threads.push_back(thread);
  ++m_running;
  t_current = thread.get();
}

void Scheduler::Detach() {
  SimThread &self = RequireCurrent("Detach");
  std::unique_lock<std::mutex> lock(m_lock);
  ThreadEndedLocked(self, lock);
  for (auto it = m_threads.begin(); it != m_threads.end(); ++it) {
    if (it->get() == &self) {
      m_threads.erase(it);
      break;
    }
  }
  t_current = nullptr;
}

void Scheduler::ThreadEndedLocked(SimThread &thread, std::unique_lock<std::mutex> &lock) {
  thread.m_exit.SignalState = 1;
  SignalledLocked(&thread.m_exit);
  --m_running;
  BlockedLocked(lock);
}

std::vector<std::string> Scheduler::ReapThreads() {
  std::vector<std::shared_ptr<SimThread>> finished;
  std::vector<std::string> alive;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto it = m_threads.begin(); it != m_threads.end();) {
      if ((*it)->Exited() && (*it)->m_os.joinable()) {
        finished.push_back(*it);
        it = m_threads.erase(it);
      } else {
        if (!(*it)->Exited()) alive.push_back((*it)->Name());
        ++it;
      }
    }
  }
  for (auto &thread : finished) thread->m_os.join();
  return alive;
}

bool Scheduler::SatisfiedLocked(SimThread &thread, ULONG *index) {
  if (thread.m_waitType == WaitAll) {
    for (ULONG i = 0; i < thread.m_blockCount; ++i) {
      if (!IsSignalled(static_cast<DISPATCHER_HEADER *>(thread.m_blocks[i].Object))) return false;
    }
    *index = 0;
    return thread.m_blockCount > 0;
  }
  for (ULONG i = 0; i < thread.m_blockCount; ++i) {
    if (IsSignalled(static_cast<DISPATCHER_HEADER *>(thread.m_blocks[i].Object))) {
      *index = i;
      return true;
    }
  }
  return false;
}

void Scheduler::ConsumeLocked(DISPATCHER_HEADER *object) {
  switch (object->Type) {
    case WinsimSynchronizationEventObject:
    case WinsimSynchronizationTimerObject:
      object->SignalState = 0;
      break;
    case WinsimSemaphoreObject:
      object->SignalState = object->SignalState - 1;
      break;
    default:
      break;
  }
}

void Scheduler::UnlinkWaitLocked(SimThread &thread) {
  if (!thread.m_waiting) return;
  for (ULONG i = 0; i < thread.m_blockCount; ++i) RemoveEntryList(&thread.m_blocks[i].WaitListEntry);
  if (thread.m_deadline != kInfinite) m_timers.erase({thread.m_deadline, thread.m_timerSeq, &thread});
  if (thread.m_predicate != nullptr) std::erase(m_predicateWaiters, &thread);
  thread.m_waiting = false;
  thread.m_predicate = nullptr;
}

void Scheduler::WakeLocked(SimThread &thread, NTSTATUS status) {
  UnlinkWaitLocked(thread);
  thread.m_wakeStatus = status;
  thread.m_wakeReady = true;
  ++m_running;
  thread.m_cv.notify_one();
  m_paceCv.notify_all();
}

// Satisfies waiters of a newly signalled object in list order until the object
// is no longer signalled (a synchronization event or semaphore runs out).
void Scheduler::SignalledLocked(DISPATCHER_HEADER *object) {
  if (m_shuffle) {
    SignalledShuffledLocked(object);
    return;
  }
  PLIST_ENTRY head = &object->WaitListHead;
  PLIST_ENTRY entry = head->Flink;
  while (entry != head && IsSignalled(object)) {
    KWAIT_BLOCK *block = CONTAINING_RECORD(entry, KWAIT_BLOCK, WaitListEntry);
    SimThread &waiter = *ThreadOfBlock(block);
    ULONG index = 0;
    if (!SatisfiedLocked(waiter, &index)) {
      entry = entry->Flink;
      continue;
    }
    WakeSatisfiedLocked(waiter, index);
    entry = head->Flink;  // the wake unlinked blocks; start over
  }
}

void Scheduler::WakeSatisfiedLocked(SimThread &waiter, ULONG index) {
  if (waiter.m_waitType == WaitAll) {
    for (ULONG i = 0; i < waiter.m_blockCount; ++i) {
      ConsumeLocked(static_cast<DISPATCHER_HEADER *>(waiter.m_blocks[i].Object));
    }
  } else {
    ConsumeLocked(static_cast<DISPATCHER_HEADER *>(waiter.m_blocks[index].Object));
  }
  WakeLocked(waiter, STATUS_WAIT_0 + static_cast<NTSTATUS>(index));
}

// As SignalledLocked, but each time the waiter to release is drawn from
// those the object can satisfy now.
void Scheduler::SignalledShuffledLocked(DISPATCHER_HEADER *object) {
  PLIST_ENTRY head = &object->WaitListHead;
  while (IsSignalled(object)) {
    std::vector<std::pair<SimThread *, ULONG>> ready;
    for (PLIST_ENTRY entry = head->Flink; entry != head; entry = entry->Flink) {
      SimThread *waiter = ThreadOfBlock(CONTAINING_RECORD(entry, KWAIT_BLOCK, WaitListEntry));
      ULONG index = 0;
      bool listed = std::any_of(ready.begin(), ready.end(), [waiter](const auto &r) { return r.first == waiter; });
      if (!listed && SatisfiedLocked(*waiter, &index)) ready.emplace_back(waiter, index);
    }
    if (ready.empty()) return;
    const auto &chosen = ready[m_wakeRandom() % ready.size()];
    WakeSatisfiedLocked(*chosen.first, chosen.second);
  }
}

NTSTATUS Scheduler::Wait(DISPATCHER_HEADER *const *objects, ULONG count, WAIT_TYPE type, VTime deadline,
                         KWAIT_BLOCK *blocks, const std::source_location &site) {
  SimThread &self = RequireCurrent("a wait");
  std::unique_lock<std::mutex> lock(m_lock);
  self.m_waitType = type;
  self.m_blocks = blocks;
  self.m_blockCount = count;
  for (ULONG i = 0; i < count; ++i) {
    blocks[i].Thread = reinterpret_cast<PKTHREAD>(&self);
    blocks[i].Object = objects[i];
    blocks[i].Reserved[0] = i;
  }
  ULONG index = 0;
  if (SatisfiedLocked(self, &index)) {
    if (type == WaitAll) {
      for (ULONG i = 0; i < count; ++i) ConsumeLocked(objects[i]);
    } else {
      ConsumeLocked(objects[index]);
    }
    return STATUS_WAIT_0 + static_cast<NTSTATUS>(index);
  }
  if (deadline <= Now()) return STATUS_TIMEOUT;

  for (ULONG i = 0; i < count; ++i) InsertTailList(&objects[i]->WaitListHead, &blocks[i].WaitListEntry);
  self.m_waiting = true;
  self.m_wakeReady = false;
  self.m_waitSite = site;
  self.m_deadline = deadline;
  if (deadline != kInfinite) {
    self.m_timerSeq = m_nextTimerSeq++;
    m_timers.insert({deadline, self.m_timerSeq, &self});
  }
  --m_running;
  BlockedLocked(lock);
  self.m_cv.wait(lock, [&self] { return self.m_wakeReady; });
  self.m_wakeReady = false;
  self.m_deadline = kInfinite;
  return self.m_wakeStatus;
}

bool Scheduler::WaitUntil(const std::function<bool()> &pred, VTime deadline) {
  SimThread &self = RequireCurrent("WaitUntil");
  std::unique_lock<std::mutex> lock(m_lock);
  self.m_waitType = WaitAny;
  self.m_blocks = nullptr;
  self.m_blockCount = 0;
  self.m_waiting = true;
  self.m_wakeReady = false;
  self.m_waitSite = std::source_location::current();
  self.m_predicate = &pred;
  self.m_deadline = deadline;
  m_predicateWaiters.push_back(&self);
  if (deadline != kInfinite) {
    self.m_timerSeq = m_nextTimerSeq++;
    m_timers.insert({deadline, self.m_timerSeq, &self});
  }
  --m_running;
  BlockedLocked(lock);
  self.m_cv.wait(lock, [&self] { return self.m_wakeReady; });
  self.m_wakeReady = false;
  self.m_deadline = kInfinite;
  return self.m_wakeStatus == STATUS_SUCCESS;
}

bool Scheduler::WakePredicatesLocked() {
  bool woke = false;
  std::vector<SimThread *> waiters = m_predicateWaiters;
  for (SimThread *waiter : waiters) {
    if ((*waiter->m_predicate)()) {
      WakeLocked(*waiter, STATUS_SUCCESS);
      woke = true;
    }
  }
  return woke;
}

// Called with the dispatcher lock held after a thread stopped running. When no
// thread runs any more, time jumps to the earliest deadline.
void Scheduler::BlockedLocked(std::unique_lock<std::mutex> &lock) {
  while (m_running == 0) {
    if (WakePredicatesLocked()) return;
    if (m_timers.empty()) {
      for (const auto &thread : m_threads) {
        if (thread->m_kind == ThreadKind::Test && thread->m_waiting) DeadlockLocked();
      }
      return;  // idle until a thread outside the simulation signals something
    }
    VTime next = std::get<0>(*m_timers.begin());
    if (m_pacing > 0) {
      PaceLocked(lock, next);
      if (m_running != 0) return;
      if (m_timers.empty() || std::get<0>(*m_timers.begin()) != next) continue;
    }
    if (next > Now()) m_now.store(next, std::memory_order_release);
    WakeDueLocked(next);
  }
}

void Scheduler::WakeDueLocked(VTime due) {
  std::vector<SimThread *> threads;
  for (auto it = m_timers.begin(); it != m_timers.end() && std::get<0>(*it) == due; ++it) {
    threads.push_back(std::get<2>(*it));
  }
  if (m_shuffle) std::shuffle(threads.begin(), threads.end(), m_wakeRandom);
  for (SimThread *thread : threads) WakeLocked(*thread, STATUS_TIMEOUT);
}

void Scheduler::SetWakeShuffle(std::optional<uint64_t> seed) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_shuffle = seed.has_value();
  m_wakeRandom.seed(seed.value_or(0));
}

void Scheduler::PaceLocked(std::unique_lock<std::mutex> &lock, VTime target) {
  auto wall = m_paceOriginWall + std::chrono::nanoseconds(static_cast<int64_t>(
                                     static_cast<double>(target - m_paceOriginVirtual) * 100.0 / m_pacing));
  m_paceCv.wait_until(lock, wall, [this] { return m_running != 0; });
}

void Scheduler::SetPacing(double factor) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_pacing = factor > 0 ? factor : 0;
  m_paceOriginVirtual = Now();
  m_paceOriginWall = std::chrono::steady_clock::now();
}

void Scheduler::DeadlockLocked() {
  std::string description;
  for (const auto &thread : m_threads) {
    description += "  " + thread->Name() + " (" + ThreadKindName(thread->Kind()) + "): ";
    if (thread->Exited()) {
      description += "ended\n";
    } else if (thread->m_waiting) {
      description += std::string("waits forever at ") + thread->m_waitSite.file_name() + ":" +
                     std::to_string(thread->m_waitSite.line()) + "\n";
    } else {
      description += "running\n";
    }
  }
  std::fprintf(stderr, "winsim: deadlock at %.3f ms: a test thread waits and nothing can wake it\n%s",
               static_cast<double>(Now()) / kTicksPerMillisecond, description.c_str());
  std::fflush(stderr);
  std::abort();
}

LONG Scheduler::SetEvent(DISPATCHER_HEADER *object) {
  std::unique_lock<std::mutex> lock(m_lock);
  LONG previous = object->SignalState;
  object->SignalState = 1;
  SignalledLocked(object);
  return previous;
}

LONG Scheduler::ResetEvent(DISPATCHER_HEADER *object) {
  std::lock_guard<std::mutex> guard(m_lock);
  LONG previous = object->SignalState;
  object->SignalState = 0;
  return previous;
}

LONG Scheduler::ReleaseSemaphore(DISPATCHER_HEADER *object, LONG adjustment, LONG limit, bool *overLimit) {
  std::unique_lock<std::mutex> lock(m_lock);
  LONG previous = object->SignalState;
  *overLimit = adjustment <= 0 || previous > limit - adjustment;
  if (*overLimit) return previous;
  object->SignalState = previous + adjustment;
  SignalledLocked(object);
  return previous;
}

LONG Scheduler::ReadState(const DISPATCHER_HEADER *object) {
  std::lock_guard<std::mutex> guard(m_lock);
  return object->SignalState;
}

bool Scheduler::TryAcquire(DISPATCHER_HEADER *object) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (object->SignalState <= 0) return false;
  ConsumeLocked(object);
  return true;
}

std::string Scheduler::DescribeThreads() {
  std::ostringstream out;
  std::lock_guard<std::mutex> guard(m_lock);
  for (const auto &thread : m_threads) {
    out << "  " << thread->Name() << " (" << ThreadKindName(thread->Kind()) << ", irql "
        << static_cast<int>(thread->irql) << "): ";
    if (thread->Exited()) {
      out << "ended\n";
    } else if (thread->m_waiting) {
      out << "waits at " << thread->m_waitSite.file_name() << ":" << thread->m_waitSite.line();
      if (thread->m_deadline != kInfinite) out << " until " << thread->m_deadline;
      out << "\n";
    } else {
      out << "running\n";
    }
  }
  return out.str();
}

std::string Scheduler::DescribeWaiterIn(uintptr_t begin, uintptr_t end) {
  std::lock_guard<std::mutex> guard(m_lock);
  for (const auto &thread : m_threads) {
    if (!thread->m_waiting || thread->Exited()) continue;
    for (ULONG i = 0; i < thread->m_blockCount; ++i) {
      auto object = reinterpret_cast<uintptr_t>(thread->m_blocks[i].Object);
      if (object < begin || object >= end) continue;
      std::ostringstream out;
      out << "thread '" << thread->Name() << "' waits on " << thread->m_blocks[i].Object << " at "
          << thread->m_waitSite.file_name() << ":" << thread->m_waitSite.line();
      return out.str();
    }
  }
  return {};
}

}  // namespace winsim
