// What a simulated thread must have given back when it ends (its thread
// routine returned, or a system thread's loop ended): every lock it took and
// the IRQL it started at. On Windows a thread that exits holding a fast
// mutex or a kernel mutex (kernel APCs still disabled) or at raised IRQL is
// KERNEL_APC_PENDING_DURING_EXIT; here the report also names each lock and
// the line that took it.
#pragma once
#include "winsim/sched/scheduler.h"

namespace winsim {

// Called on the ending thread itself, after its body returned.
void RequireNothingHeldAtThreadExit(const SimThread &thread);

}  // namespace winsim
