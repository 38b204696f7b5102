// Boot and shutdown of the I/O manager's machinery: the system worker
// threads, the DPC thread and the tables of IRPs, devices and drivers.
#pragma once
#include "winsim/sched/scheduler.h"

namespace winsim {

// At machine boot, on the Machine's attached thread; returns once the new
// threads wait for work.
void StartIoSystem(Scheduler &scheduler);
// At machine shutdown, on the same thread before it detaches: ends the
// threads (running work items finish, queued ones are discarded) and forgets
// every IRP, device and driver.
void StopIoSystem();

}  // namespace winsim
