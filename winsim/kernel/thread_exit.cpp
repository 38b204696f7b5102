#include "winsim/kernel/thread_exit.h"

#include <string>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/lock_order.h"

namespace winsim {

void RequireNothingHeldAtThreadExit(const SimThread &thread) {
  const std::string held = LockOrder::Instance().DescribeHeldByCurrentThread(0);
  if (held.empty() && thread.spinLocksHeld == 0 && thread.irql == PASSIVE_LEVEL) return;
  std::string detail = "thread '" + thread.Name() + "' ended at IRQL " + std::to_string(thread.irql);
  if (!held.empty()) {
    detail += " holding " + held;
  } else if (thread.spinLocksHeld != 0) {
    detail += " holding " + std::to_string(thread.spinLocksHeld) + " spin lock(s)";
  }
  BugCheck(BugCode::kKernelApcPendingDuringExit, detail, std::source_location::current());
}

}  // namespace winsim
