// A thread that ends holding a KS device mutex stops the machine naming the
// mutex and the KsAcquireDevice line: nobody could ever take it again.
#include <gtest/gtest.h>

#include "ks_test_support.h"

using namespace kstest;

namespace {

TEST(KsThreadExit, EndingWithTheDeviceMutexHeldStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        winsim::Machine machine;
        TestBus bus(machine);
        StartWithFactory(machine, bus);
        PKSDEVICE device = MiniDriver::Instance().LastDevice();
        machine.Threads().Spawn("leaver", winsim::ThreadKind::SystemWorker, winsim::kSystemProcessId,
                                [device] { KsAcquireDevice(device); });
        machine.RunFor(winsim::kTicksPerMillisecond);
      },
      "KERNEL_APC_PENDING_DURING_EXIT.*\n.*thread 'leaver' ended at IRQL 0 holding KS device mutex \\S+ acquired at "
      "[^\n]*ks_thread_exit_test.cpp:[0-9]+");
}

}  // namespace
