// Module-wide state of the COM server, one copy per process: the module's
// handle and path (set at process attach), the live-object count and the
// server lock count that DllCanUnloadNow consults.
#pragma once
#include <windows.h>

extern HMODULE g_hInst;
// The module's full path (ANSI), empty while the module is not attached.
extern char g_szModulePath[MAX_PATH];
// Interlocked: every CUnknown adds one while it lives.
extern volatile LONG g_cActiveObjects;
// Plain count: IClassFactory::LockServer, called on the host's thread.
extern LONG g_cServerLocks;
