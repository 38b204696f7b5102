// The driver under low resources, as Driver Verifier's simulation runs it:
// for every n, a fresh machine plugs an interface with the driver's n-th
// allocation failing (pool, IRPs, MDLs, work items alike), streams with test
// pins for a moment and unplugs. Whatever fails, the driver must neither
// bug check nor leak: it unloads after the unplug, and unloading checks its
// pool, work items, timers and handles. The sweep ends at the first n the
// whole run did not reach.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "kerneldriver/streaming/stream_harness.h"
#include "winsim/kernel/fault_injection.h"

namespace {

using winsim::AllocationFaultPlan;
using winsim::AllocationFaults;

constexpr winsim::VTime kStreamFor = 50 * winsim::kTicksPerMillisecond;

// Allocations made by driver code only: the call sites under kerneldriver/,
// not the driver's tests.
AllocationFaultPlan DriverPlan() {
  return AllocationFaultPlan{.sites = {"kerneldriver/"}, .excludedSites = {"tests/"}};
}

// One machine's life: plug, stream what the device has, unplug.
class Run : public sttest::StreamTest {
 public:
  void TestBody() override {}

  struct Outcome {
    uint64_t counted;
    uint64_t failed;
  };

  Outcome Go(const char *model, const AllocationFaultPlan &plan) {
    machine.ArmAllocationFaults(plan);
    Plug(model);
    if (UsbAudioDevice *context = Context()) {
      // Capture first, as the pins of a full-duplex client start.
      if (context->captureStream != nullptr) StreamTest::Run(CapturePin());
      if (context->renderStream != nullptr) StreamTest::Run(RenderPin());
      machine.RunFor(kStreamFor);
    }
    TearDown();  // pins leave RUN, the device is unplugged, the driver unloads
    EXPECT_EQ(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr) << "the driver stayed loaded";
    Outcome outcome{AllocationFaults::Instance().Counted(), AllocationFaults::Instance().Failed()};
    machine.DisarmAllocationFaults();
    return outcome;
  }
};

Run::Outcome RunOnce(const char *model, const AllocationFaultPlan &plan) {
  auto run = std::make_unique<Run>();
  return run->Go(model, plan);
}

class AllocationSweep : public ::testing::TestWithParam<const char *> {};

TEST_P(AllocationSweep, EveryFailedAllocationIsSurvivedWithoutLeakOrBugCheck) {
  const Run::Outcome clean = RunOnce(GetParam(), DriverPlan());
  ASSERT_GT(clean.counted, 0u) << "the plan saw none of the driver's allocations";
  ASSERT_EQ(clean.failed, 0u);
  // Runs are deterministic, so the sweep ends just past the clean run's
  // count; the bound only stops a driver that allocates without end.
  const uint64_t bound = 2 * clean.counted + 16;
  uint64_t n = 1;
  for (; n <= bound; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " failing");
    AllocationFaultPlan plan = DriverPlan();
    plan.failNth = n;
    if (RunOnce(GetParam(), plan).failed == 0) break;
  }
  EXPECT_LE(n, bound) << "the driver kept allocating";
  std::printf("%s: %llu driver allocations in a clean run; allocation 1 to %llu failed in turn\n", GetParam(),
              static_cast<unsigned long long>(clean.counted), static_cast<unsigned long long>(n - 1));
}

// Each allocation fails with a small probability, so some runs lose several
// at once, in start and in stop; a bug-check report names the seed.
TEST_P(AllocationSweep, RandomFailuresAreSurvivedWithoutLeakOrBugCheck) {
  uint64_t failed = 0;
  for (uint64_t seed = 1; seed <= 32; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    AllocationFaultPlan plan = DriverPlan();
    plan.probability = 0.01;
    plan.seed = seed;
    failed += RunOnce(GetParam(), plan).failed;
  }
  EXPECT_GT(failed, 32u) << "too few injected failures to mean anything";
}

// Larch: both directions, implicit feedback, status interrupt, MIDI; Maple:
// render only with an explicit feedback endpoint.
INSTANTIATE_TEST_SUITE_P(Shapes, AllocationSweep, ::testing::Values("Larch", "Maple"),
                         [](const auto &info) { return std::string(info.param); });

}  // namespace
