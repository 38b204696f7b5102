// The DPC thread: runs queued DPCs at DISPATCH_LEVEL and fires kernel timers
// at their due virtual time (signalling them and queuing their DPCs). A set
// timer is an ordinary scheduler deadline, so virtual time jumps to it when
// everything else waits.
#pragma once
#include <cstdint>
#include <vector>

#include "winsim/kernel/live_objects.h"
#include "winsim/sched/scheduler.h"

namespace winsim {

// Spawns the DPC thread (the Machine at boot).
void StartDpcThread(Scheduler &scheduler);
// Ends it; timers still set and DPCs still queued are forgotten. From an
// attached thread at PASSIVE_LEVEL.
void StopDpcThread();

// Set timers and queued DPCs whose object lies in [begin, end).
std::vector<LiveObject> LiveTimersAndDpcs(uintptr_t begin, uintptr_t end);

}  // namespace winsim
