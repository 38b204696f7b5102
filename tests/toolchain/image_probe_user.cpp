// A fault for the image check's self-test: a kernel image that imports a
// user-mode DLL (kernel32.dll).
#include <ntddk.h>

extern "C" __declspec(dllimport) ULONG GetTickCount(void);

extern "C" ULONG QavProbeUserImport(void) { return GetTickCount(); }
