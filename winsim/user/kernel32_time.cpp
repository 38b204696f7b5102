// User-mode clocks on the machine's virtual time.
#include <windows.h>

#include "winsim/kernel/ke_time.h"

namespace {

// GetTickCount advances in clock-interrupt steps; timeGetTime has the 1 ms
// resolution an audio application gets after timeBeginPeriod(1).
ULONGLONG TickMilliseconds() {
  winsim::VTime ticks = winsim::Now() / winsim::kTickPeriod * winsim::kTickPeriod;
  return static_cast<ULONGLONG>(ticks / winsim::kTicksPerMillisecond);
}

}  // namespace

DWORD GetTickCount(void) { return static_cast<DWORD>(TickMilliseconds()); }
ULONGLONG GetTickCount64(void) { return TickMilliseconds(); }

BOOL QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount) {
  if (lpPerformanceCount == nullptr) return FALSE;
  lpPerformanceCount->QuadPart = winsim::Now();
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER *lpFrequency) {
  if (lpFrequency == nullptr) return FALSE;
  lpFrequency->QuadPart = winsim::kPerformanceFrequency;
  return TRUE;
}

DWORD timeGetTime(void) { return static_cast<DWORD>(winsim::Now() / winsim::kTicksPerMillisecond); }
