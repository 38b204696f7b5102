// comctl32: the common control classes are always registered in winsim's
// headless dialogs, so InitCommonControls has nothing to do.
#include <windows.h>

#include <commctrl.h>

void InitCommonControls(void) {}
