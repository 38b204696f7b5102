// winmm's timer resolution requests, process-wide as on Windows.
#pragma once
#include <windows.h>

namespace winsim {

// timeBeginPeriod calls not yet matched by timeEndPeriod.
int OutstandingTimerPeriods();
void ResetTimerPeriods();

}  // namespace winsim
