// KDPC and KTIMER on winsim's DPC threads. One lock guards the DPC queue and
// the timer list; a timer is signalled under it, so once KeCancelTimer has
// returned the timer's memory is not touched again.
#include "winsim/kernel/ke_dpc_timer.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/ke_time.h"
#include "winsim/kernel/pool.h"
#include "winsim/sched/dispatch_cpu.h"
#include "winsim/sched/parallel_mode.h"

namespace winsim {
namespace {

class DpcEngine {
 public:
  static DpcEngine &Instance() {
    static DpcEngine engine;
    return engine;
  }

  void SetTicks(const std::optional<TimerTickOptions> &ticks) { m_ticks = ticks; }
  void Start(Scheduler &scheduler);
  void Stop();
  Scheduler &Require(const char *api, const std::source_location &site);

  bool InsertDpc(PRKDPC dpc, PVOID argument1, PVOID argument2, const std::source_location &site);
  bool RemoveDpc(PRKDPC dpc);
  bool SetTimer(PKTIMER timer, VTime due, LONG period, PKDPC dpc, const std::source_location &site);
  bool CancelTimer(PKTIMER timer);
  bool IsQueuedDpc(PRKDPC dpc);
  bool IsSetTimer(PKTIMER timer);
  void Flush();
  std::vector<LiveObject> LiveIn(uintptr_t begin, uintptr_t end);

 private:
  void Loop();
  VTime NextDueLocked() const;
  void FireDueTimers();
  void FireLocked(PKTIMER timer, VTime now);
  VTime ExpiryLocked(VTime due);
  void InsertDpcLocked(PRKDPC dpc, PVOID argument1, PVOID argument2, const std::source_location &site,
                       bool *inserted);
  PRKDPC TakeDueDpcLocked(VTime now, bool *moreDue);
  void RunDpcs();

  std::mutex m_lock;
  LIST_ENTRY m_dpcs{};
  LIST_ENTRY m_timers{};
  // Where each set timer was set and each queued DPC queued (a timer's DPC:
  // where its timer was set), for reports.
  std::unordered_map<const void *, std::source_location> m_sites;
  // When each queued DPC may start (its start delay in parallel mode).
  std::unordered_map<const void *, VTime> m_dpcStart;
  // Each set timer's due time before rounding to a tick (periods count from it).
  std::unordered_map<const void *, VTime> m_nominalDue;
  std::optional<TimerTickOptions> m_ticks;
  std::mt19937_64 m_tickRandom;
  KEVENT m_wake{};  // synchronization: a DPC thread recomputes what is due
  std::atomic<bool> m_stopping{false};
  std::atomic<int> m_dpcsOutstanding{0};  // queued or running
  Scheduler *m_scheduler = nullptr;
  bool m_parallel = false;
  uint32_t m_processors = 1;
  std::vector<std::shared_ptr<SimThread>> m_threads;
};

void DpcEngine::Start(Scheduler &scheduler) {
  InitializeListHead(&m_dpcs);
  InitializeListHead(&m_timers);
  KeInitializeEvent(&m_wake, SynchronizationEvent, FALSE);
  m_stopping = false;
  m_dpcsOutstanding = 0;
  m_scheduler = &scheduler;
  m_tickRandom.seed(m_ticks ? m_ticks->seed : 0);
  SetClockTickPeriod(m_ticks ? m_ticks->period : kTickPeriod);
  m_parallel = ParallelMode::Instance().On();
  m_processors = m_parallel ? ParallelMode::Instance().Options().dpcThreads : 1;
  for (uint32_t i = 0; i < m_processors; ++i) {
    std::string name = m_parallel ? "DPC cpu " + std::to_string(i) : "DPC";
    m_threads.push_back(scheduler.Spawn(name, ThreadKind::Completion, kSystemProcessId, [this] { Loop(); }));
  }
}

void DpcEngine::Stop() {
  if (m_threads.empty()) return;
  m_stopping = true;
  KeSetEvent(&m_wake, IO_NO_INCREMENT, FALSE);  // each thread passes it on as it ends
  for (auto &thread : m_threads) {
    KeWaitForSingleObject(thread->ExitObject(), Executive, KernelMode, FALSE, nullptr);
  }
  m_threads.clear();
  std::lock_guard<std::mutex> guard(m_lock);
  InitializeListHead(&m_dpcs);
  InitializeListHead(&m_timers);
  m_sites.clear();
  m_dpcStart.clear();
  m_nominalDue.clear();
  m_scheduler = nullptr;
  SetClockTickPeriod(kTickPeriod);
}

Scheduler &DpcEngine::Require(const char *api, const std::source_location &site) {
  if (m_scheduler == nullptr) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, std::string(api) + " while no machine runs", site);
  }
  return *m_scheduler;
}

void DpcEngine::Loop() {
  while (!m_stopping) {
    VTime due;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      due = NextDueLocked();
    }
    KWAIT_BLOCK block{};
    DISPATCHER_HEADER *wake = &m_wake.Header;
    m_scheduler->Wait(&wake, 1, WaitAny, due, &block, std::source_location::current());
    FireDueTimers();
    RunDpcs();
  }
  // Another DPC thread may still sleep on the wake event.
  KeSetEvent(&m_wake, IO_NO_INCREMENT, FALSE);
}

VTime DpcEngine::NextDueLocked() const {
  VTime due = kInfinite;
  for (PLIST_ENTRY entry = m_dpcs.Flink; entry != &m_dpcs; entry = entry->Flink) {
    auto start = m_dpcStart.find(CONTAINING_RECORD(entry, KDPC, DpcListEntry));
    if (start != m_dpcStart.end()) due = std::min(due, start->second);
  }
  for (PLIST_ENTRY entry = m_timers.Flink; entry != &m_timers; entry = entry->Flink) {
    PKTIMER timer = CONTAINING_RECORD(entry, KTIMER, TimerListEntry);
    due = std::min(due, static_cast<VTime>(timer->DueTime.QuadPart));
  }
  return due;
}

// The virtual time a timer due at `due` expires: then, or with clock ticks
// at the next tick plus the expiry's jitter.
VTime DpcEngine::ExpiryLocked(VTime due) {
  if (!m_ticks || m_ticks->period <= 0) return due;
  VTime period = m_ticks->period;
  if (due > kInfinite - period) return kInfinite;
  VTime tick = (due + period - 1) / period * period;
  VTime jitter = m_ticks->jitter > 0 ? static_cast<VTime>(m_tickRandom() % static_cast<uint64_t>(m_ticks->jitter + 1)) : 0;
  return tick + jitter;
}

// Timers due at one pass expire in the order they were set, or in parallel
// mode in a random one: which of two timers due together fires first is
// not defined on Windows either.
void DpcEngine::FireDueTimers() {
  std::lock_guard<std::mutex> guard(m_lock);
  VTime now = m_scheduler->Now();
  std::vector<PKTIMER> due;
  for (PLIST_ENTRY entry = m_timers.Flink; entry != &m_timers; entry = entry->Flink) {
    PKTIMER timer = CONTAINING_RECORD(entry, KTIMER, TimerListEntry);
    if (static_cast<VTime>(timer->DueTime.QuadPart) <= now) due.push_back(timer);
  }
  if (m_parallel && due.size() > 1) {
    for (size_t i = due.size() - 1; i > 0; --i) {
      std::swap(due[i], due[ParallelMode::Instance().Draw(RandomStream::Timers) % (i + 1)]);
    }
  }
  for (PKTIMER timer : due) FireLocked(timer, now);
}

void DpcEngine::FireLocked(PKTIMER timer, VTime now) {
  RemoveEntryList(&timer->TimerListEntry);
  timer->TimerListEntry.Flink = timer->TimerListEntry.Blink = nullptr;
  const std::source_location setAt = m_sites[timer];
  if (timer->Dpc != nullptr) {
    ULARGE_INTEGER firedAt;
    firedAt.QuadPart = static_cast<ULONGLONG>(now);
    bool inserted;
    InsertDpcLocked(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(firedAt.LowPart)),
                    reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(firedAt.HighPart)), setAt, &inserted);
  }
  if (timer->Period != 0) {
    VTime nominal = m_nominalDue[timer] + static_cast<VTime>(timer->Period) * kTicksPerMillisecond;
    m_nominalDue[timer] = nominal;
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(ExpiryLocked(nominal));
    InsertTailList(&m_timers, &timer->TimerListEntry);
  } else {
    m_sites.erase(timer);
    m_nominalDue.erase(timer);
  }
  // Last: the thread this wakes may leave the scope of a one-shot timer at
  // once, as it may on Windows, where the dispatcher lock covers all of this.
  m_scheduler->SetEvent(&timer->Header);
}

void DpcEngine::InsertDpcLocked(PRKDPC dpc, PVOID argument1, PVOID argument2, const std::source_location &site,
                                bool *inserted) {
  *inserted = dpc->DpcData == nullptr;
  if (!*inserted) return;
  m_sites[dpc] = site;
  m_dpcStart[dpc] = m_scheduler->Now() + ParallelMode::Instance().DpcDelay();
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  dpc->DpcData = this;
  if (dpc->Importance == HighImportance) {
    InsertHeadList(&m_dpcs, &dpc->DpcListEntry);
  } else {
    InsertTailList(&m_dpcs, &dpc->DpcListEntry);
  }
  ++m_dpcsOutstanding;
}

bool DpcEngine::InsertDpc(PRKDPC dpc, PVOID argument1, PVOID argument2, const std::source_location &site) {
  bool inserted;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    InsertDpcLocked(dpc, argument1, argument2, site, &inserted);
  }
  if (inserted) KeSetEvent(&m_wake, IO_NO_INCREMENT, FALSE);
  return inserted;
}

bool DpcEngine::RemoveDpc(PRKDPC dpc) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (dpc->DpcData == nullptr) return false;
  RemoveEntryList(&dpc->DpcListEntry);
  dpc->DpcData = nullptr;
  m_sites.erase(dpc);
  m_dpcStart.erase(dpc);
  --m_dpcsOutstanding;
  return true;
}

// The first DPC in queue order whose start has come; *moreDue tells whether
// another one waits that another DPC thread could run now.
PRKDPC DpcEngine::TakeDueDpcLocked(VTime now, bool *moreDue) {
  PRKDPC taken = nullptr;
  *moreDue = false;
  for (PLIST_ENTRY entry = m_dpcs.Flink; entry != &m_dpcs; entry = entry->Flink) {
    PRKDPC dpc = CONTAINING_RECORD(entry, KDPC, DpcListEntry);
    if (m_dpcStart[dpc] > now) continue;
    if (taken != nullptr) {
      *moreDue = true;
      break;
    }
    taken = dpc;
  }
  if (taken == nullptr) return nullptr;
  RemoveEntryList(&taken->DpcListEntry);
  taken->DpcData = nullptr;  // may be queued again from here on
  m_dpcStart.erase(taken);
  return taken;
}

void DpcEngine::RunDpcs() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  for (;;) {
    PRKDPC dpc;
    PKDEFERRED_ROUTINE routine;
    PVOID context, argument1, argument2;
    std::source_location queuedAt;
    bool moreDue;
    {
      std::lock_guard<std::mutex> guard(m_lock);
      dpc = TakeDueDpcLocked(m_scheduler->Now(), &moreDue);
      if (dpc == nullptr) break;
      routine = dpc->DeferredRoutine;
      context = dpc->DeferredContext;
      argument1 = dpc->SystemArgument1;
      argument2 = dpc->SystemArgument2;
      queuedAt = m_sites[dpc];
      m_sites.erase(dpc);
    }
    if (moreDue && m_processors > 1) KeSetEvent(&m_wake, IO_NO_INCREMENT, FALSE);
    uint64_t cpu = ThreadCpuNs();
    routine(dpc, context, argument1, argument2);
    cpu = ThreadCpuNs() - cpu;
    RequireIrqlRestored("DPC routine", DISPATCH_LEVEL, std::source_location::current());
    DispatchCpu::Instance().Record(DispatchWork::Dpc, cpu, "DPC " + Hex(dpc) + " queued at " + SiteText(queuedAt),
                                   queuedAt);
    --m_dpcsOutstanding;
  }
  KeLowerIrql(old);
}

bool DpcEngine::SetTimer(PKTIMER timer, VTime due, LONG period, PKDPC dpc, const std::source_location &site) {
  bool wasSet;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_sites[timer] = site;
    wasSet = timer->TimerListEntry.Flink != nullptr;
    if (wasSet) RemoveEntryList(&timer->TimerListEntry);
    m_nominalDue[timer] = due;
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(ExpiryLocked(due));
    timer->Period = static_cast<ULONG>(period);
    timer->Dpc = dpc;
    m_scheduler->ResetEvent(&timer->Header);
    InsertTailList(&m_timers, &timer->TimerListEntry);
  }
  // Every DPC thread recomputes its deadline.
  for (uint32_t i = 0; i < m_processors; ++i) KeSetEvent(&m_wake, IO_NO_INCREMENT, FALSE);
  return wasSet;
}

bool DpcEngine::CancelTimer(PKTIMER timer) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (timer->TimerListEntry.Flink == nullptr) return false;
  RemoveEntryList(&timer->TimerListEntry);
  timer->TimerListEntry.Flink = timer->TimerListEntry.Blink = nullptr;
  m_sites.erase(timer);
  m_nominalDue.erase(timer);
  return true;
}

bool DpcEngine::IsQueuedDpc(PRKDPC dpc) {
  std::lock_guard<std::mutex> guard(m_lock);
  for (PLIST_ENTRY entry = m_dpcs.Flink; entry != nullptr && entry != &m_dpcs; entry = entry->Flink) {
    if (entry == &dpc->DpcListEntry) return true;
  }
  return false;
}

bool DpcEngine::IsSetTimer(PKTIMER timer) {
  std::lock_guard<std::mutex> guard(m_lock);
  for (PLIST_ENTRY entry = m_timers.Flink; entry != nullptr && entry != &m_timers; entry = entry->Flink) {
    if (entry == &timer->TimerListEntry) return true;
  }
  return false;
}

std::vector<LiveObject> DpcEngine::LiveIn(uintptr_t begin, uintptr_t end) {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<LiveObject> live;
  auto inRange = [begin, end](const void *object) {
    auto address = reinterpret_cast<uintptr_t>(object);
    return address >= begin && address < end;
  };
  if (m_scheduler == nullptr) return live;
  for (PLIST_ENTRY entry = m_timers.Flink; entry != &m_timers; entry = entry->Flink) {
    PKTIMER timer = CONTAINING_RECORD(entry, KTIMER, TimerListEntry);
    if (!inRange(timer)) continue;
    live.push_back({BugCode::kTimerOrDpcInvalid, timer, "timer " + Hex(timer) + " set at " + SiteText(m_sites[timer])});
  }
  for (PLIST_ENTRY entry = m_dpcs.Flink; entry != &m_dpcs; entry = entry->Flink) {
    PRKDPC dpc = CONTAINING_RECORD(entry, KDPC, DpcListEntry);
    if (!inRange(dpc)) continue;
    live.push_back({BugCode::kTimerOrDpcInvalid, dpc, "DPC " + Hex(dpc) + " queued at " + SiteText(m_sites[dpc])});
  }
  return live;
}

// Every DPC queued or running now has run once this returns: at a moment when
// every thread waits, the DPC thread has drained its queue.
void DpcEngine::Flush() {
  if (m_dpcsOutstanding.load() == 0) return;
  m_scheduler->WaitUntil([this] { return m_dpcsOutstanding.load() == 0; }, kInfinite);
}

}  // namespace

void SetTimerTicks(const std::optional<TimerTickOptions> &ticks) { DpcEngine::Instance().SetTicks(ticks); }

void StartDpcThread(Scheduler &scheduler) { DpcEngine::Instance().Start(scheduler); }

void StopDpcThread() { DpcEngine::Instance().Stop(); }

std::vector<LiveObject> LiveTimersAndDpcs(uintptr_t begin, uintptr_t end) {
  return DpcEngine::Instance().LiveIn(begin, end);
}

}  // namespace winsim

using winsim::BugCheck;
using winsim::BugCode;
using winsim::DpcEngine;

namespace {

void InitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context, UCHAR type) {
  if (DpcEngine::Instance().IsQueuedDpc(dpc)) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, "KeInitializeDpc of a DPC that is queued",
             std::source_location::current());
  }
  dpc->Type = type;
  dpc->Importance = MediumImportance;
  dpc->Number = 0;
  dpc->DpcListEntry.Flink = dpc->DpcListEntry.Blink = nullptr;
  dpc->DeferredRoutine = routine;
  dpc->DeferredContext = context;
  dpc->SystemArgument1 = dpc->SystemArgument2 = nullptr;
  dpc->DpcData = nullptr;
}

// DPC object types in KDPC.Type.
constexpr UCHAR kDpcObject = 19;
constexpr UCHAR kThreadedDpcObject = 24;

}  // namespace

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  InitializeDpc(Dpc, DeferredRoutine, DeferredContext, kDpcObject);
}

// A threaded DPC runs like an ordinary one here: at DISPATCH_LEVEL, which is
// what a threaded DPC must be prepared for anyway.
void KeInitializeThreadedDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  InitializeDpc(Dpc, DeferredRoutine, DeferredContext, kThreadedDpcObject);
}

void KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) { Dpc->Importance = static_cast<UCHAR>(Importance); }

void KeSetTargetProcessorDpc(PRKDPC Dpc, CCHAR Number) { Dpc->Number = static_cast<USHORT>(Number); }

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2,
                         const std::source_location &winsimSite) {
  DpcEngine &engine = DpcEngine::Instance();
  engine.Require("KeInsertQueueDpc", winsimSite);
  if (Dpc->DeferredRoutine == nullptr) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, "KeInsertQueueDpc of a DPC without a routine", winsimSite);
  }
  winsim::RequireNonPaged(Dpc, sizeof *Dpc, "DPC", winsimSite);
  return engine.InsertDpc(Dpc, SystemArgument1, SystemArgument2, winsimSite) ? TRUE : FALSE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) { return DpcEngine::Instance().RemoveDpc(Dpc) ? TRUE : FALSE; }

void KeFlushQueuedDpcs(const std::source_location &winsimSite) {
  winsim::RequirePassive("KeFlushQueuedDpcs", winsimSite);
  DpcEngine &engine = DpcEngine::Instance();
  engine.Require("KeFlushQueuedDpcs", winsimSite);
  engine.Flush();
}

void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  if (DpcEngine::Instance().IsSetTimer(Timer)) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, "KeInitializeTimer of a timer that is set",
             std::source_location::current());
  }
  Timer->Header.Type = Type == NotificationTimer ? WinsimNotificationTimerObject : WinsimSynchronizationTimerObject;
  Timer->Header.Signalling = 0;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.Reserved1 = 0;
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime.QuadPart = 0;
  Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = nullptr;
  Timer->Dpc = nullptr;
  Timer->Processor = 0;
  Timer->Period = 0;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc, const std::source_location &winsimSite) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc, winsimSite);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc,
                     const std::source_location &winsimSite) {
  winsim::RequireAtMostDispatch("KeSetTimer", winsimSite);
  DpcEngine &engine = DpcEngine::Instance();
  engine.Require("KeSetTimer", winsimSite);
  if (Period < 0) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, "KeSetTimerEx with a negative period", winsimSite);
  }
  winsim::RequireNonPaged(Timer, sizeof *Timer, "timer", winsimSite);
  if (Dpc != nullptr) winsim::RequireNonPaged(Dpc, sizeof *Dpc, "timer DPC", winsimSite);
  return engine.SetTimer(Timer, winsim::DeadlineOf(&DueTime), Period, Dpc, winsimSite) ? TRUE : FALSE;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) { return DpcEngine::Instance().CancelTimer(Timer) ? TRUE : FALSE; }

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  return winsim::Scheduler::Active()->ReadState(&Timer->Header) > 0 ? TRUE : FALSE;
}
