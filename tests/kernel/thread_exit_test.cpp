// A simulated thread whose routine returns still holding a lock, or at
// raised IRQL, stops the machine naming the thread, each lock it kept and
// the line that took it.
#include <gtest/gtest.h>

#include <functional>

#include "winsim/machine.h"

using namespace winsim;

namespace {

struct ExitCase {
  const char *name;
  std::function<void()> routine;  // the thread's body
  const char *expected;
};

KSPIN_LOCK g_spinLock;
FAST_MUTEX g_fastMutex;

class ThreadExit : public ::testing::TestWithParam<ExitCase> {};

TEST_P(ThreadExit, HoldingALockOrRaisedIrqlStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Machine machine;
        KeInitializeSpinLock(&g_spinLock);
        ExInitializeFastMutex(&g_fastMutex);
        machine.Threads().Spawn("leaver", ThreadKind::SystemWorker, kSystemProcessId, GetParam().routine);
        machine.RunFor(kTicksPerMillisecond);
      },
      GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Routines, ThreadExit,
    ::testing::Values(
        ExitCase{"SpinLock",
                 [] {
                   KIRQL old;
                   KeAcquireSpinLock(&g_spinLock, &old);
                 },
                 "KERNEL_APC_PENDING_DURING_EXIT.*\n.*thread 'leaver' ended at IRQL 2 holding spin lock \\S+ "
                 "acquired at [^\n]*thread_exit_test.cpp:[0-9]+"},
        ExitCase{"FastMutex", [] { ExAcquireFastMutex(&g_fastMutex); },
                 "KERNEL_APC_PENDING_DURING_EXIT.*\n.*thread 'leaver' ended at IRQL 1 holding fast mutex \\S+ "
                 "acquired at [^\n]*thread_exit_test.cpp:[0-9]+"},
        ExitCase{"RaisedIrql",
                 [] {
                   KIRQL old;
                   KeRaiseIrql(DISPATCH_LEVEL, &old);
                 },
                 "KERNEL_APC_PENDING_DURING_EXIT.*\n.*thread 'leaver' ended at IRQL 2\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// Locks released before the routine returns: the thread ends quietly.
TEST(ThreadExitClean, ABalancedRoutineEndsQuietly) {
  Machine machine;
  KeInitializeSpinLock(&g_spinLock);
  ExInitializeFastMutex(&g_fastMutex);
  auto thread = machine.Threads().Spawn("balanced", ThreadKind::SystemWorker, kSystemProcessId, [] {
    ExAcquireFastMutex(&g_fastMutex);
    ExReleaseFastMutex(&g_fastMutex);
    KIRQL old;
    KeAcquireSpinLock(&g_spinLock, &old);
    KeReleaseSpinLock(&g_spinLock, old);
  });
  machine.RunFor(kTicksPerMillisecond);
  EXPECT_TRUE(thread->Exited());
}

}  // namespace
