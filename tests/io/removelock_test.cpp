// Remove locks: release-and-wait waits, in virtual time, for every other
// acquisition to be released, and later acquisitions are refused.
#include <gtest/gtest.h>

#include "winsim/machine.h"

using namespace winsim;

namespace {

constexpr VTime kMs = kTicksPerMillisecond;

struct HolderCase {
  const char *name;
  std::vector<VTime> releaseAt;  // one holder thread per entry
  VTime waitEnds;
};

class RemoveLockWait : public ::testing::TestWithParam<HolderCase> {};

TEST_P(RemoveLockWait, ReleaseAndWaitReturnsWhenTheLastOtherHolderReleases) {
  const HolderCase &c = GetParam();
  Machine machine;
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, MAKEFOURCC_TAG('R', 'L', 'c', 'k'), 0, 0);
  std::vector<std::shared_ptr<SimThread>> holders;
  for (VTime at : c.releaseAt) {
    ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
    holders.push_back(machine.Threads().Spawn("holder", ThreadKind::User, 1234, [&lock, at] {
      LARGE_INTEGER delay;
      delay.QuadPart = -at;
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
      IoReleaseRemoveLock(&lock, nullptr);
    }));
  }
  ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
  IoReleaseRemoveLockAndWait(&lock, nullptr);
  EXPECT_EQ(machine.Now(), c.waitEnds);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
  for (auto &holder : holders) KeWaitForSingleObject(holder->ExitObject(), Executive, KernelMode, FALSE, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Holders, RemoveLockWait,
                         ::testing::Values(HolderCase{"NoOtherHolder", {}, 0},
                                           HolderCase{"OneHolder", {5 * kMs}, 5 * kMs},
                                           HolderCase{"LastOfThreeDecides", {12 * kMs, 3 * kMs, 7 * kMs}, 12 * kMs}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(RemoveLock, AcquisitionsRacingTheRemovalEitherHoldTheLockOrAreRefused) {
  Machine machine;
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, MAKEFOURCC_TAG('R', 'L', 'c', 'k'), 0, 0);
  std::vector<std::shared_ptr<SimThread>> racers;
  for (int i = 0; i < 4; ++i) {
    racers.push_back(machine.Threads().Spawn("racer", ThreadKind::User, 1234, [&] {
      for (int round = 0; round < 200; ++round) {
        if (IoAcquireRemoveLock(&lock, nullptr) != STATUS_SUCCESS) return;
        IoReleaseRemoveLock(&lock, nullptr);
      }
    }));
  }
  ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
  IoReleaseRemoveLockAndWait(&lock, nullptr);
  for (auto &racer : racers) KeWaitForSingleObject(racer->ExitObject(), Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(lock.Common.IoCount, 0);  // refused acquisitions leave no count behind
}

}  // namespace
