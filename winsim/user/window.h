// winsim's windows: message-only windows with a window procedure, owned by
// the simulated thread that created them. They exist so that user-mode code
// can receive what Windows sends to windows (WM_DEVICECHANGE broadcasts)
// and what other threads post to them; nothing is drawn, there is no class,
// parent, focus or desktop.
//
// Messages the system sends wait in the owning thread's queue with a copy of
// their data until that thread calls PeekMessageA, which calls the window
// procedure with lParam pointing at the copy (valid for that call only), as
// Windows delivers sent messages while the receiver pumps. The sender does
// not wait for the procedure.
#pragma once
#include <windows.h>

#include <cstdint>
#include <vector>

namespace winsim {

// A window of the calling simulated thread; null (ERROR_INVALID_PARAMETER)
// without a procedure.
HWND CreateMessageWindow(WNDPROC procedure);

// Queues a message the system sends to a window; lParam will point at a copy
// of payload (null when it is empty). False when the window does not exist.
bool QueueSentMessage(HWND window, UINT message, WPARAM wParam, std::vector<uint8_t> payload);

// Machine boot: no window exists.
void ResetWindows();

}  // namespace winsim
