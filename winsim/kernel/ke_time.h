// Conversions between the kernel's time values and winsim's virtual clock.
#pragma once
#include <wdm.h>

#include "winsim/sched/scheduler.h"

namespace winsim {

// System time (FILETIME, 100 ns units since 1601) at virtual time zero:
// 2026-01-01 00:00:00 UTC.
inline constexpr int64_t kBootSystemTime = 134116992000000000;
// QueryPerformanceFrequency of the simulated machine, as on current Windows.
inline constexpr int64_t kPerformanceFrequency = 10'000'000;
// The clock interrupt period KeQueryTickCount counts in (15.625 ms).
inline constexpr int64_t kTickPeriod = 156'250;

// Absolute virtual deadline of a kernel time-out: NULL waits forever, a
// negative value is relative to now, a positive one an absolute system time.
VTime DeadlineOf(const LARGE_INTEGER *timeout);

// Virtual time of the active machine (0 without one).
VTime Now();

// The clock interrupt period KeQueryTickCount and KeQueryTimeIncrement
// report: kTickPeriod unless the machine runs timers on ticks of another
// period (ke_dpc_timer.h).
VTime ClockTickPeriod();
void SetClockTickPeriod(VTime period);

}  // namespace winsim
