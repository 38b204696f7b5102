// winmm subset: timeGetTime and the timer resolution (declared with kernel32's
// clocks in win/kernel32.h).
#pragma once
#include <windows.h>
