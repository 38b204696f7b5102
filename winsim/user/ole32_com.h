// ole32's apartments and in-process activation, per machine.
#pragma once
#include <windows.h>

namespace winsim {

// Threads that called CoInitializeEx more often than CoUninitialize.
int InitializedComThreads();
// Forgets apartments and the servers COM loaded (without unloading them:
// the loader forgets those itself).
void ResetCom();

}  // namespace winsim
