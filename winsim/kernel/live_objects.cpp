#include "winsim/kernel/live_objects.h"

#include "winsim/kernel/ex_lookaside.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/io_workers.h"
#include "winsim/kernel/ke_dpc_timer.h"
#include "winsim/kernel/lock_order.h"
#include "winsim/kernel/pool.h"

namespace winsim {
namespace {

std::vector<LiveObject> LiveIn(uintptr_t begin, uintptr_t end) {
  std::vector<LiveObject> live = LiveTimersAndDpcs(begin, end);
  for (LiveObject &object : SystemWorkers::Instance().QueuedIn(begin, end)) live.push_back(std::move(object));
  for (LiveObject &object : LookasideListsIn(begin, end)) live.push_back(std::move(object));
  return live;
}

}  // namespace

void CheckFreedMemory(const void *begin, size_t bytes, const std::source_location &site) {
  const auto first = reinterpret_cast<uintptr_t>(begin);
  std::vector<LiveObject> live = LiveIn(first, first + bytes);
  if (!live.empty()) {
    BugCheck(live.front().code, "pool block " + Hex(begin) + " (" + std::to_string(bytes) + " bytes) freed while " +
                                    live.front().what + " lies in it",
             site);
  }
  if (Scheduler *scheduler = Scheduler::Active()) {
    std::string waiter = scheduler->DescribeWaiterIn(first, first + bytes);
    if (!waiter.empty()) {
      BugCheck(BugCode::kDriverVerifierDetectedViolation,
               "pool block " + Hex(begin) + " (" + std::to_string(bytes) + " bytes) freed while " + waiter, site);
    }
  }
  LockOrder::Instance().Freeing(begin, bytes, site);
}

std::vector<LiveObject> LiveObjectsOutsidePool() {
  std::vector<LiveObject> live = LiveTimersAndDpcs(0, UINTPTR_MAX);
  for (LiveObject &object : LookasideListsIn(0, UINTPTR_MAX)) live.push_back(std::move(object));
  std::erase_if(live, [](const LiveObject &object) { return Pool::Instance().Contains(object.address); });
  return live;
}

}  // namespace winsim
