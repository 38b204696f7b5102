// The DPC thread: runs queued DPCs at DISPATCH_LEVEL and fires kernel timers
// at their due virtual time (signalling them and queuing their DPCs). A set
// timer is an ordinary scheduler deadline, so virtual time jumps to it when
// everything else waits.
#pragma once
#include "winsim/sched/scheduler.h"

namespace winsim {

// Spawns the DPC thread (the Machine at boot).
void StartDpcThread(Scheduler &scheduler);
// Ends it; timers still set and DPCs still queued are forgotten. From an
// attached thread at PASSIVE_LEVEL.
void StopDpcThread();

}  // namespace winsim
