// kernel32 threads. A user thread belongs to the process of the thread that
// created it.
#include <string>

#include "winsim/kernel/debug_log.h"
#include "winsim/sched/scheduler.h"
#include "winsim/user/kernel32_objects.h"
#include "winsim/user/user_file.h"

using winsim::HandleTable;
using winsim::Scheduler;
using winsim::SimThread;

namespace {

const HANDLE kCurrentThreadPseudoHandle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));
const HANDLE kCurrentProcessPseudoHandle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
constexpr uint32_t kDefaultUserProcessId = 1000;

SimThread *ThreadOf(HANDLE handle) {
  if (handle == kCurrentThreadPseudoHandle) return Scheduler::Current();
  auto object = HandleTable::Instance().LookupAs<winsim::UserThread>(handle);
  return object != nullptr ? object->thread.get() : nullptr;
}

bool ValidPriority(int priority) {
  return priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL ||
         (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST);
}

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
  (void)lpThreadAttributes;
  (void)dwStackSize;
  if (lpStartAddress == nullptr || (dwCreationFlags & ~CREATE_SUSPENDED) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Scheduler *scheduler = Scheduler::Active();
  SimThread *creator = Scheduler::Current();
  uint32_t processId = creator != nullptr ? creator->ProcessId() : kDefaultUserProcessId;
  auto state = std::make_shared<winsim::UserThreadState>();
  KeInitializeEvent(&state->started, NotificationEvent, (dwCreationFlags & CREATE_SUSPENDED) == 0);
  state->suspended = (dwCreationFlags & CREATE_SUSPENDED) != 0 ? 1 : 0;
  auto object = std::make_shared<winsim::UserThread>();
  object->state = state;
  object->thread = scheduler->Spawn("user thread", winsim::ThreadKind::User, processId, [=] {
    KeWaitForSingleObject(&state->started, UserRequest, UserMode, FALSE, nullptr);
    state->exitCode = lpStartAddress(lpParameter);
    // A thread that ends cancels its requests still in flight and waits for them.
    winsim::CancelThreadRequests(Scheduler::Current(), nullptr);
  });
  if (lpThreadId != nullptr) *lpThreadId = object->thread->Id();
  return HandleTable::Instance().Insert(object);
}

DWORD ResumeThread(HANDLE hThread) {
  auto object = HandleTable::Instance().LookupAs<winsim::UserThread>(hThread);
  if (object == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  LONG previous = InterlockedExchange(&object->state->suspended, 0);
  if (previous != 0) KeSetEvent(&object->state->started, IO_NO_INCREMENT, FALSE);
  return static_cast<DWORD>(previous);
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto object = HandleTable::Instance().LookupAs<winsim::UserThread>(hThread);
  if (object == nullptr || lpExitCode == nullptr) {
    SetLastError(object == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *lpExitCode = object->thread->Exited() ? object->state->exitCode : STILL_ACTIVE;
  return TRUE;
}

BOOL SetThreadPriority(HANDLE hThread, int nPriority) {
  SimThread *thread = ThreadOf(hThread);
  if (thread == nullptr || !ValidPriority(nPriority)) {
    SetLastError(thread == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  thread->priority = nPriority;
  return TRUE;
}

int GetThreadPriority(HANDLE hThread) {
  SimThread *thread = ThreadOf(hThread);
  if (thread == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return THREAD_PRIORITY_ERROR_RETURN;
  }
  return thread->priority;
}

HANDLE GetCurrentThread(void) { return kCurrentThreadPseudoHandle; }
HANDLE GetCurrentProcess(void) { return kCurrentProcessPseudoHandle; }

DWORD GetCurrentThreadId(void) { return Scheduler::RequireCurrent("GetCurrentThreadId").Id(); }

DWORD GetCurrentProcessId(void) {
  SimThread *thread = Scheduler::Current();
  return thread != nullptr ? thread->ProcessId() : kDefaultUserProcessId;
}

// Forced termination of a running thread is refused. A simulated thread runs
// on a host thread that cannot be stopped soundly at an arbitrary point: it
// may hold the scheduler's locks, winsim's or the program's own, and Windows
// itself leaves a terminated thread's locks held and its resources
// unreleased. A caller that needs TerminateThread has lost control of its
// thread; the refusal (and the machine log line) shows that instead of
// hiding it. A thread that has already ended terminates successfully.
BOOL TerminateThread(HANDLE hThread, DWORD dwExitCode) {
  (void)dwExitCode;
  auto object = HandleTable::Instance().LookupAs<winsim::UserThread>(hThread);
  if (object == nullptr && hThread != kCurrentThreadPseudoHandle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (object != nullptr && object->thread->Exited()) return TRUE;
  winsim::DebugLog::Append("kernel32", "TerminateThread refused: the thread is still running");
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}
