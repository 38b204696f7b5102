// The DPC threads: run queued DPCs at DISPATCH_LEVEL and fire kernel timers
// at their due virtual time (signalling them and queuing their DPCs). A set
// timer is an ordinary scheduler deadline, so virtual time jumps to it when
// everything else waits.
//
// Serial (the default): one DPC thread; a DPC runs as soon as the thread
// gets to it. Parallel mode (winsim/sched/parallel_mode.h): one DPC thread
// per simulated processor, each DPC starts after its start delay on any of
// them, and a DPC queued again while its routine runs may run on another
// processor at the same time (it left the queue when it started), as on a
// multiprocessor. Each run's CPU time is counted (winsim/sched/dispatch_cpu.h).
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "winsim/kernel/ke_time.h"
#include "winsim/kernel/live_objects.h"
#include "winsim/sched/scheduler.h"

namespace winsim {

// Timers that expire on the clock interrupt, as on Windows, instead of at
// their exact due time: a due time is rounded up to the next tick (a
// multiple of `period` since boot) and each expiry comes a random part of
// `jitter` later (drawn from `seed`).
struct TimerTickOptions {
  VTime period = kTickPeriod;
  VTime jitter = 500 * kTicksPerMicrosecond;
  uint32_t seed = 1;
};

// Timers on ticks from the next start of the DPC threads on, or (nullopt)
// expiring exactly at their due time. The Machine sets it at every boot.
void SetTimerTicks(const std::optional<TimerTickOptions> &ticks);
// Spawns the DPC threads (the Machine at boot).
void StartDpcThread(Scheduler &scheduler);
// Ends them; timers still set and DPCs still queued are forgotten. From an
// attached thread at PASSIVE_LEVEL.
void StopDpcThread();

// Set timers and queued DPCs whose object lies in [begin, end).
std::vector<LiveObject> LiveTimersAndDpcs(uintptr_t begin, uintptr_t end);

}  // namespace winsim
