#include "winsim/kernel/ke_time.h"

#include <atomic>

namespace winsim {
namespace {

std::atomic<VTime> g_tickPeriod{kTickPeriod};

}  // namespace

VTime ClockTickPeriod() { return g_tickPeriod.load(std::memory_order_relaxed); }

void SetClockTickPeriod(VTime period) { g_tickPeriod.store(period > 0 ? period : kTickPeriod, std::memory_order_relaxed); }

VTime Now() {
  Scheduler *scheduler = Scheduler::Active();
  return scheduler != nullptr ? scheduler->Now() : 0;
}

VTime DeadlineOf(const LARGE_INTEGER *timeout) {
  if (timeout == nullptr) return kInfinite;
  int64_t value = timeout->QuadPart;
  VTime now = Now();
  if (value < 0) {
    if (value == INT64_MIN || -value > kInfinite - now) return kInfinite;
    return now - value;
  }
  if (value == 0) return now;
  VTime absolute = value - kBootSystemTime;
  return absolute < now ? now : absolute;
}

}  // namespace winsim

ULONGLONG KeQueryInterruptTime(void) { return static_cast<ULONGLONG>(winsim::Now()); }

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = winsim::kBootSystemTime + winsim::Now(); }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency != nullptr) PerformanceFrequency->QuadPart = winsim::kPerformanceFrequency;
  LARGE_INTEGER counter;
  counter.QuadPart = winsim::Now();  // frequency equals the virtual clock's 10 MHz
  return counter;
}

void KeQueryTickCount(PLARGE_INTEGER TickCount) { TickCount->QuadPart = winsim::Now() / winsim::ClockTickPeriod(); }

ULONG KeQueryTimeIncrement(void) { return static_cast<ULONG>(winsim::ClockTickPeriod()); }

// A stall spins the processor; on the virtual clock no time passes while a
// thread runs, so a stall costs nothing. Drivers must not poll with it.
void KeStallExecutionProcessor(ULONG MicroSeconds) { (void)MicroSeconds; }
