// kernel32 events, semaphores, waits and handles.
#include <string>
#include <vector>

#include "winsim/sched/scheduler.h"
#include "winsim/user/handles.h"
#include "winsim/kernel/io_file.h"
#include "winsim/user/kernel32_objects.h"
#include "winsim/user/user_file.h"

namespace winsim {
namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

VTime DeadlineAfter(DWORD milliseconds) {
  if (milliseconds == INFINITE) return kInfinite;
  return Scheduler::Active()->Now() + static_cast<VTime>(milliseconds) * kTicksPerMillisecond;
}

template <class T>
HANDLE CreateNamed(LPCSTR name, const std::function<std::shared_ptr<T>()> &make) {
  HandleTable &table = HandleTable::Instance();
  if (name != nullptr && *name != '\0') {
    std::shared_ptr<UserObject> existing = table.FindNamed(name);
    if (existing != nullptr) {
      if (std::dynamic_pointer_cast<T>(existing) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);  // the name belongs to another kind of object
        return nullptr;
      }
      SetLastError(ERROR_ALREADY_EXISTS);
      return table.Insert(existing);
    }
  }
  std::shared_ptr<T> object = make();
  if (name != nullptr && *name != '\0') table.Name(name, object);
  SetLastError(ERROR_SUCCESS);
  return table.Insert(object);
}

}  // namespace

UserEvent::UserEvent(bool manualReset, bool initialState) {
  header.Type = manualReset ? WinsimNotificationEventObject : WinsimSynchronizationEventObject;
  header.SignalState = initialState ? 1 : 0;
  InitializeListHead(&header.WaitListHead);
}

UserSemaphore::UserSemaphore(LONG initial, LONG maximum) : limit(maximum) {
  header.Type = WinsimSemaphoreObject;
  header.SignalState = initial;
  InitializeListHead(&header.WaitListHead);
}

}  // namespace winsim

using winsim::HandleTable;
using winsim::Scheduler;

DWORD GetLastError(void) { return winsim::t_lastError; }
void SetLastError(DWORD dwErrCode) { winsim::t_lastError = dwErrCode; }

BOOL CloseHandle(HANDLE hObject) {
  auto file = HandleTable::Instance().LookupAs<winsim::UserFile>(hObject);
  if (!HandleTable::Instance().Close(hObject)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // A device handle's last close sends IRP_MJ_CLEANUP, then IRP_MJ_CLOSE
  // once no request holds the file any more.
  if (file != nullptr) winsim::CloseFileHandle(file->File());
  return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  (void)lpEventAttributes;
  return winsim::CreateNamed<winsim::UserEvent>(
      lpName, [&] { return std::make_shared<winsim::UserEvent>(bManualReset != FALSE, bInitialState != FALSE); });
}

HANDLE OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName) {
  (void)dwDesiredAccess;
  (void)bInheritHandle;
  if (lpName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto event = std::dynamic_pointer_cast<winsim::UserEvent>(HandleTable::Instance().FindNamed(lpName));
  if (event == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return HandleTable::Instance().Insert(event);
}

BOOL SetEvent(HANDLE hEvent) {
  auto event = HandleTable::Instance().LookupAs<winsim::UserEvent>(hEvent);
  if (event == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Scheduler::Active()->SetEvent(&event->header);
  return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
  auto event = HandleTable::Instance().LookupAs<winsim::UserEvent>(hEvent);
  if (event == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Scheduler::Active()->ResetEvent(&event->header);
  return TRUE;
}

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES lpSemaphoreAttributes, LONG lInitialCount, LONG lMaximumCount,
                        LPCSTR lpName) {
  (void)lpSemaphoreAttributes;
  if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return winsim::CreateNamed<winsim::UserSemaphore>(
      lpName, [&] { return std::make_shared<winsim::UserSemaphore>(lInitialCount, lMaximumCount); });
}

BOOL ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount) {
  auto semaphore = HandleTable::Instance().LookupAs<winsim::UserSemaphore>(hSemaphore);
  if (semaphore == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  bool overLimit = false;
  LONG previous = Scheduler::Active()->ReleaseSemaphore(&semaphore->header, lReleaseCount, semaphore->limit, &overLimit);
  if (overLimit) {
    SetLastError(ERROR_TOO_MANY_POSTS);
    return FALSE;
  }
  if (lpPreviousCount != nullptr) *lpPreviousCount = previous;
  return TRUE;
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<winsim::UserObject>> objects;  // kept alive for the wait
  DISPATCHER_HEADER *headers[MAXIMUM_WAIT_OBJECTS];
  for (DWORD i = 0; i < nCount; ++i) {
    auto object = HandleTable::Instance().Lookup(lpHandles[i]);
    if (object == nullptr || object->Waitable() == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    headers[i] = object->Waitable();
    objects.push_back(std::move(object));
  }
  KWAIT_BLOCK blocks[MAXIMUM_WAIT_OBJECTS] = {};
  NTSTATUS status = Scheduler::Active()->Wait(headers, nCount, bWaitAll ? WaitAll : WaitAny,
                                              winsim::DeadlineAfter(dwMilliseconds), blocks,
                                              std::source_location::current());
  if (status == STATUS_TIMEOUT) return WAIT_TIMEOUT;
  return WAIT_OBJECT_0 + static_cast<DWORD>(status - STATUS_WAIT_0);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

// Sleep(0) and SwitchToThread give up the processor: here they cost a slice
// of virtual time, so a thread polling with them lets time (and with it the
// devices and timers it waits for) move on instead of freezing the machine.
void Sleep(DWORD dwMilliseconds) {
  winsim::VTime deadline = dwMilliseconds == 0 ? Scheduler::Active()->Now() + winsim::kYieldCost
                                               : winsim::DeadlineAfter(dwMilliseconds);
  Scheduler::Active()->Wait(nullptr, 0, WaitAny, deadline, nullptr, std::source_location::current());
}

BOOL SwitchToThread(void) {
  Sleep(0);
  return TRUE;
}
