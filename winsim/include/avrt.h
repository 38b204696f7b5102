// avrt.dll: the multimedia class scheduler's thread characteristics. Callers
// load avrt.dll at run time and look the functions up by name; these are
// their types.
#pragma once
#include <windows.h>

typedef enum _AVRT_PRIORITY {
  AVRT_PRIORITY_VERYLOW = -2,
  AVRT_PRIORITY_LOW,
  AVRT_PRIORITY_NORMAL,
  AVRT_PRIORITY_HIGH,
  AVRT_PRIORITY_CRITICAL
} AVRT_PRIORITY,
    *PAVRT_PRIORITY;

HANDLE WINAPI AvSetMmThreadCharacteristicsA(LPCSTR TaskName, LPDWORD TaskIndex);
BOOL WINAPI AvSetMmThreadPriority(HANDLE AvrtHandle, AVRT_PRIORITY Priority);
BOOL WINAPI AvRevertMmThreadCharacteristics(HANDLE AvrtHandle);
