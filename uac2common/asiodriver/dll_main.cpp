// The module's entry point: records where the module lives at process attach
// (registration looks it up again by that path) and forgets it at detach.
#include <windows.h>

#include <commctrl.h>
#include <stdio.h>
#include <string.h>

#include "uac2common/asiodriver/asio_trace.h"
#include "uac2common/asiodriver/com_exports.h"
#include "uac2common/asiodriver/com_module.h"

namespace {

BOOL ProcessAttach(HINSTANCE hinstance) {
  OutputDebugStringA("ASIO: DllMain(): DLL_PROESS_ATTACH\n");
  // The logger is optional; its connection lives until the process ends.
  if (CAsioTraceLog::Open() != 0) OutputDebugStringA("TDL Failed to open!!\n");
  CAsioTraceLog::Write(kTraceDllAttach, kAsioTraceEvent);
  g_hInst = hinstance;
  memset(g_szModulePath, 0, sizeof g_szModulePath);
  DWORD length = GetModuleFileNameA(hinstance, g_szModulePath, sizeof g_szModulePath);
  // A path that filled the buffer may be cut short; the module could not be
  // found again by it.
  if (length == 0 || length >= sizeof g_szModulePath) {
    DWORD error = length == 0 ? GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
    char line[64];
    snprintf(line, sizeof line, "GetModuleFileName failed (%d)\n", static_cast<int>(error));
    OutputDebugStringA(line);
    g_szModulePath[0] = '\0';
    return FALSE;
  }
  CAsioTraceLog::Write(kTraceModulePathKnown, kTraceLevelEvent);
  InitCommonControls();
  return TRUE;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      return ProcessAttach(hinstance);
    case DLL_PROCESS_DETACH:
      g_hInst = nullptr;
      g_szModulePath[0] = '\0';
      return TRUE;
    default:
      return TRUE;
  }
}
