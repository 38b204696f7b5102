// Kernel timers on clock ticks: a due time is rounded up to the next tick
// and the expiry comes a seeded jitter later, as on Windows at its default
// timer resolution; without the option a timer fires exactly on time.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <vector>

#include "winsim/machine.h"

using namespace winsim;

namespace {

constexpr VTime kUs = kTicksPerMicrosecond;
constexpr VTime kMs = kTicksPerMillisecond;

struct TickCase {
  const char *name;
  std::optional<TimerTickOptions> ticks;
  VTime due;       // relative
  VTime earliest;  // expiry window
  VTime latest;
};

class TimerTicks : public ::testing::TestWithParam<TickCase> {};

struct Expiry {
  KTIMER timer;
  KDPC dpc;
  std::atomic<VTime> firedAt{-1};
  static void Fired(PKDPC, PVOID context, PVOID, PVOID) {
    static_cast<Expiry *>(context)->firedAt = Machine::Current()->Now();
  }
};

// The deliberately wrong assumption: a timer has fired a millisecond after
// its due time. It fails on the default 15.625 ms tick.
TEST_P(TimerTicks, ATimerExpiresAtTheFirstTickAtOrAfterItsDueTimePlusJitter) {
  const TickCase &c = GetParam();
  MachineOptions options;
  options.timerTicks = c.ticks;
  Machine machine(options);
  Expiry expiry;
  KeInitializeTimer(&expiry.timer);
  KeInitializeDpc(&expiry.dpc, Expiry::Fired, &expiry);
  LARGE_INTEGER due;
  due.QuadPart = -c.due;
  KeSetTimer(&expiry.timer, due, &expiry.dpc);
  machine.RunFor(c.due + 1 * kMs);
  const bool firedWithinAMillisecond = expiry.firedAt.load() >= 0;
  machine.RunFor(40 * kMs);
  EXPECT_GE(expiry.firedAt.load(), c.earliest);
  EXPECT_LE(expiry.firedAt.load(), c.latest);
  EXPECT_EQ(firedWithinAMillisecond, c.latest < c.due + 1 * kMs);
  EXPECT_EQ(KeQueryTimeIncrement(), static_cast<ULONG>(c.ticks ? c.ticks->period : kTickPeriod));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TimerTicks,
    ::testing::Values(TickCase{"Exact", std::nullopt, 1 * kMs, 1 * kMs, 1 * kMs},
                      TickCase{"DefaultTick", TimerTickOptions{}, 1 * kMs, kTickPeriod, kTickPeriod + 500 * kUs},
                      TickCase{"OneMillisecondTickNoJitter", TimerTickOptions{.period = 1 * kMs, .jitter = 0},
                               1500 * kUs, 2 * kMs, 2 * kMs},
                      TickCase{"DueOnATickStaysOnIt", TimerTickOptions{.period = 5 * kMs, .jitter = 0}, 10 * kMs,
                               10 * kMs, 10 * kMs}),
    [](const auto &info) { return std::string(info.param.name); });

// A periodic timer keeps its period from its nominal due times: each expiry
// lands on the first tick at or after the nominal one, so expiries are a
// tick apart or two, never drifting.
TEST(TimerTicksPeriodic, APeriodicTimerExpiresOnTheTicksFollowingItsNominalDueTimes) {
  MachineOptions options;
  options.timerTicks = TimerTickOptions{.period = 4 * kMs, .jitter = 0};
  Machine machine(options);
  struct Periodic {
    KTIMER timer;
    KDPC dpc;
    std::vector<VTime> at;
  } periodic;
  KeInitializeTimer(&periodic.timer);
  KeInitializeDpc(
      &periodic.dpc, [](PKDPC, PVOID context, PVOID, PVOID) {
        static_cast<Periodic *>(context)->at.push_back(Machine::Current()->Now());
      },
      &periodic);
  LARGE_INTEGER due;
  due.QuadPart = -3 * kMs;
  KeSetTimerEx(&periodic.timer, due, 10, &periodic.dpc);
  machine.RunFor(45 * kMs);
  KeCancelTimer(&periodic.timer);
  KeFlushQueuedDpcs();
  // Nominal 3, 13, 23, 33, 43 ms; ticks every 4 ms.
  EXPECT_EQ(periodic.at, (std::vector<VTime>{4 * kMs, 16 * kMs, 24 * kMs, 36 * kMs, 44 * kMs}));
}

// Jitter is drawn from the seed: the same seed gives the same expiries.
TEST(TimerTicksJitter, TheSameSeedGivesTheSameExpiriesAndAnotherSeedOthers) {
  auto expiries = [](uint32_t seed) {
    MachineOptions options;
    options.timerTicks = TimerTickOptions{.period = kTickPeriod, .jitter = 500 * kUs, .seed = seed};
    Machine machine(options);
    std::vector<VTime> at;
    for (int i = 0; i < 4; ++i) {
      KTIMER timer;
      KeInitializeTimer(&timer);
      LARGE_INTEGER due;
      due.QuadPart = -1 * kMs;
      KeSetTimer(&timer, due, nullptr);
      KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
      at.push_back(machine.Now());
    }
    return at;
  };
  const std::vector<VTime> first = expiries(3);
  EXPECT_EQ(expiries(3), first);
  EXPECT_NE(expiries(4), first);
  for (size_t i = 0; i < first.size(); ++i) {
    const VTime tick = (i + 1) * kTickPeriod;
    EXPECT_GE(first[i], tick);
    EXPECT_LE(first[i], tick + 500 * kUs);
  }
}

}  // namespace
