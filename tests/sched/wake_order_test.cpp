// Wake-up order under the machine's parallel mode: which of several waiters
// a synchronization event lets through is drawn from the seed (Windows
// promises no order either); serially it is the one that waited longest.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "winsim/machine.h"

using namespace winsim;

namespace {

constexpr VTime kMs = kTicksPerMillisecond;

// Three threads wait on one synchronization event, A first, then B, then C.
// The deliberately wrong routine: each, let through, assumes it was the one
// that waited longest and passes the event on. Returns who went in which
// order.
std::string HandOffOrder(const MachineOptions &options) {
  Machine machine(options);
  KEVENT turn;
  KeInitializeEvent(&turn, SynchronizationEvent, FALSE);
  std::mutex lock;
  std::string order;
  std::vector<std::shared_ptr<SimThread>> threads;
  for (const char *name : {"A", "B", "C"}) {
    threads.push_back(machine.Threads().Spawn(name, ThreadKind::User, 1234, [&, name] {
      KeWaitForSingleObject(&turn, Executive, KernelMode, FALSE, nullptr);
      {
        std::lock_guard<std::mutex> guard(lock);
        order += name;
      }
      KeSetEvent(&turn, IO_NO_INCREMENT, FALSE);
    }));
    machine.RunFor(1 * kMs);  // it waits before the next one starts
  }
  KeSetEvent(&turn, IO_NO_INCREMENT, FALSE);
  for (auto &thread : threads) KeWaitForSingleObject(thread->ExitObject(), Executive, KernelMode, FALSE, nullptr);
  return order;
}

TEST(WakeOrder, ASynchronizationEventLetsItsWaitersThroughInASeededOrderOnlyInParallelMode) {
  EXPECT_EQ(HandOffOrder({}), "ABC");
  int notFirstComeFirstServed = 0;
  for (uint32_t seed = 1; seed <= 10; ++seed) {
    MachineOptions options;
    options.parallel = ParallelOptions{.seed = seed};
    const std::string order = HandOffOrder(options);
    EXPECT_EQ(HandOffOrder(options), order) << "seed " << seed;
    EXPECT_EQ(order.size(), 3u);
    if (order != "ABC") ++notFirstComeFirstServed;
  }
  EXPECT_GT(notFirstComeFirstServed, 0);
}

}  // namespace
