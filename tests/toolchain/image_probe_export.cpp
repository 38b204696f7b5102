// A fault for the image check's self-test: a kernel image that exports a
// function.
#include <ntddk.h>

extern "C" __declspec(dllexport) ULONG QavProbeExported(void) { return 1; }
