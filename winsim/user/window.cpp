// Message-only windows, their owners' queues, PeekMessageA, DispatchMessageA,
// PostMessageA and DestroyWindow.
#include "winsim/user/window.h"

#include <deque>
#include <map>
#include <mutex>

#include "winsim/sched/scheduler.h"

namespace winsim {
namespace {

struct SentMessage {
  UINT message;
  WPARAM wParam;
  std::vector<uint8_t> payload;
};

struct Window {
  uint32_t ownerThread = 0;
  WNDPROC procedure = nullptr;
  std::deque<SentMessage> sent;
};

struct Windows {
  std::mutex lock;
  std::map<ULONG_PTR, Window> byHandle;
  std::map<uint32_t, std::deque<MSG>> posted;  // by owning thread
  ULONG_PTR next = 0x20010;
};

Windows &TheWindows() {
  static Windows windows;
  return windows;
}

ULONG_PTR Key(HWND window) { return reinterpret_cast<ULONG_PTR>(window); }

uint32_t CallingThread() {
  SimThread *thread = Scheduler::Current();
  return thread != nullptr ? thread->Id() : 0;
}

// Takes the next message sent to a window of the thread, or returns false.
bool TakeSent(uint32_t thread, HWND *window, WNDPROC *procedure, SentMessage *message) {
  Windows &windows = TheWindows();
  std::lock_guard<std::mutex> guard(windows.lock);
  for (auto &[handle, record] : windows.byHandle) {
    if (record.ownerThread != thread || record.sent.empty()) continue;
    *window = reinterpret_cast<HWND>(handle);
    *procedure = record.procedure;
    *message = std::move(record.sent.front());
    record.sent.pop_front();
    return true;
  }
  return false;
}

void DeliverSentMessages(uint32_t thread) {
  HWND window = nullptr;
  WNDPROC procedure = nullptr;
  SentMessage message;
  // Each delivery may queue more (a procedure may post or cause broadcasts);
  // a window that is sent messages without end would hold its thread here,
  // as it would on Windows.
  while (TakeSent(thread, &window, &procedure, &message)) {
    LPARAM lParam = message.payload.empty() ? 0 : reinterpret_cast<LPARAM>(message.payload.data());
    procedure(window, message.message, message.wParam, lParam);
  }
}

bool Matches(const MSG &msg, HWND filter, UINT low, UINT high) {
  if (filter == reinterpret_cast<HWND>(-1)) {
    if (msg.hwnd != nullptr) return false;
  } else if (filter != nullptr && msg.hwnd != filter) {
    return false;
  }
  return (low == 0 && high == 0) || (msg.message >= low && msg.message <= high);
}

}  // namespace

HWND CreateMessageWindow(WNDPROC procedure) {
  const uint32_t thread = CallingThread();
  if (procedure == nullptr || thread == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Windows &windows = TheWindows();
  std::lock_guard<std::mutex> guard(windows.lock);
  const ULONG_PTR handle = windows.next;
  windows.next += 0x10;
  windows.byHandle[handle] = Window{thread, procedure, {}};
  return reinterpret_cast<HWND>(handle);
}

bool QueueSentMessage(HWND window, UINT message, WPARAM wParam, std::vector<uint8_t> payload) {
  Windows &windows = TheWindows();
  std::lock_guard<std::mutex> guard(windows.lock);
  auto it = windows.byHandle.find(Key(window));
  if (it == windows.byHandle.end()) return false;
  it->second.sent.push_back(SentMessage{message, wParam, std::move(payload)});
  return true;
}

void ResetWindows() {
  Windows &windows = TheWindows();
  std::lock_guard<std::mutex> guard(windows.lock);
  windows.byHandle.clear();
  windows.posted.clear();
}

}  // namespace winsim

using winsim::TheWindows;

BOOL IsWindow(HWND hWnd) {
  auto &windows = winsim::TheWindows();
  std::lock_guard<std::mutex> guard(windows.lock);
  return windows.byHandle.count(winsim::Key(hWnd)) != 0 ? TRUE : FALSE;
}

BOOL PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
  const uint32_t thread = winsim::CallingThread();
  // PM_NOYIELD and the PM_QS_* kinds change nothing here: every queued message is one kind.
  if (lpMsg == nullptr || thread == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  winsim::DeliverSentMessages(thread);
  auto &windows = winsim::TheWindows();
  std::lock_guard<std::mutex> guard(windows.lock);
  std::deque<MSG> &queue = windows.posted[thread];
  for (auto it = queue.begin(); it != queue.end(); ++it) {
    if (!winsim::Matches(*it, hWnd, wMsgFilterMin, wMsgFilterMax)) continue;
    *lpMsg = *it;
    if ((wRemoveMsg & PM_REMOVE) != 0) queue.erase(it);
    return TRUE;
  }
  return FALSE;
}

LRESULT DispatchMessageA(const MSG *lpMsg) {
  if (lpMsg == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  WNDPROC procedure = nullptr;
  {
    auto &windows = winsim::TheWindows();
    std::lock_guard<std::mutex> guard(windows.lock);
    auto it = windows.byHandle.find(winsim::Key(lpMsg->hwnd));
    if (it == windows.byHandle.end()) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return 0;
    }
    if (it->second.ownerThread != winsim::CallingThread()) {
      SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
      return 0;
    }
    procedure = it->second.procedure;
  }
  return procedure(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

BOOL PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  auto &windows = winsim::TheWindows();
  std::lock_guard<std::mutex> guard(windows.lock);
  auto it = windows.byHandle.find(winsim::Key(hWnd));
  if (it == windows.byHandle.end()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  MSG msg{};
  msg.hwnd = hWnd;
  msg.message = Msg;
  msg.wParam = wParam;
  msg.lParam = lParam;
  windows.posted[it->second.ownerThread].push_back(msg);
  return TRUE;
}

BOOL DestroyWindow(HWND hWnd) {
  WNDPROC procedure = nullptr;
  {
    auto &windows = winsim::TheWindows();
    std::lock_guard<std::mutex> guard(windows.lock);
    auto it = windows.byHandle.find(winsim::Key(hWnd));
    if (it == windows.byHandle.end()) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return FALSE;
    }
    // Only the owning thread may destroy a window.
    if (it->second.ownerThread != winsim::CallingThread()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    procedure = it->second.procedure;
  }
  procedure(hWnd, WM_DESTROY, 0, 0);
  auto &windows = winsim::TheWindows();
  std::lock_guard<std::mutex> guard(windows.lock);
  auto it = windows.byHandle.find(winsim::Key(hWnd));
  if (it != windows.byHandle.end()) {
    std::deque<MSG> &queue = windows.posted[it->second.ownerThread];
    std::erase_if(queue, [hWnd](const MSG &msg) { return msg.hwnd == hWnd; });
    windows.byHandle.erase(it);
  }
  return TRUE;
}
