// avrt.dll: multimedia class scheduler tasks. A thread joins a task by name
// and gets a task handle; the handle sets the thread's priority within the
// task and, once reverted, is no longer valid. Task names are those the
// scheduler's registry lists on a default installation.
#include <windows.h>

#include <avrt.h>
#include <strings.h>

#include <map>
#include <mutex>
#include <string>

#include "winsim/kernel/debug_log.h"
#include "winsim/sched/scheduler.h"
#include "winsim/user/user_modules.h"

namespace {

constexpr DWORD kErrorInvalidTaskName = 1550;

const char *const kTaskNames[] = {"Audio",    "Capture",          "Distribution", "Games",
                                  "Playback", "Pro Audio",        "Window Manager"};

struct Task {
  winsim::SimThread *thread;
  std::string name;
  AVRT_PRIORITY priority;
};

struct Tasks {
  std::mutex lock;
  std::map<uintptr_t, Task> byHandle;
  uintptr_t next = 0x7A00;
};

Tasks &TheTasks() {
  static Tasks tasks;
  return tasks;
}

bool KnownTask(LPCSTR name) {
  for (const char *known : kTaskNames) {
    if (strcasecmp(known, name) == 0) return true;
  }
  return false;
}

}  // namespace

HANDLE WINAPI AvSetMmThreadCharacteristicsA(LPCSTR TaskName, LPDWORD TaskIndex) {
  if (TaskName == nullptr || TaskIndex == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!KnownTask(TaskName)) {
    SetLastError(kErrorInvalidTaskName);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(TheTasks().lock);
  uintptr_t handle = TheTasks().next;
  TheTasks().next += 4;
  TheTasks().byHandle[handle] = Task{winsim::Scheduler::Current(), TaskName, AVRT_PRIORITY_NORMAL};
  if (*TaskIndex == 0) *TaskIndex = static_cast<DWORD>(TheTasks().byHandle.size());
  return reinterpret_cast<HANDLE>(handle);
}

BOOL WINAPI AvSetMmThreadPriority(HANDLE AvrtHandle, AVRT_PRIORITY Priority) {
  std::lock_guard<std::mutex> guard(TheTasks().lock);
  auto it = TheTasks().byHandle.find(reinterpret_cast<uintptr_t>(AvrtHandle));
  if (it == TheTasks().byHandle.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (Priority < AVRT_PRIORITY_VERYLOW || Priority > AVRT_PRIORITY_CRITICAL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  it->second.priority = Priority;
  return TRUE;
}

BOOL WINAPI AvRevertMmThreadCharacteristics(HANDLE AvrtHandle) {
  std::lock_guard<std::mutex> guard(TheTasks().lock);
  auto it = TheTasks().byHandle.find(reinterpret_cast<uintptr_t>(AvrtHandle));
  if (it == TheTasks().byHandle.end()) {
    winsim::DebugLog::Append("avrt", "AvRevertMmThreadCharacteristics of a handle that is not a task");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  TheTasks().byHandle.erase(it);
  return TRUE;
}

namespace winsim {

FARPROC AvrtExport(const std::string &name) {
  if (name == "AvSetMmThreadCharacteristicsA") {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&AvSetMmThreadCharacteristicsA));
  }
  if (name == "AvSetMmThreadPriority") {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&AvSetMmThreadPriority));
  }
  if (name == "AvRevertMmThreadCharacteristics") {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void *>(&AvRevertMmThreadCharacteristics));
  }
  return nullptr;
}

// Tasks joined and not yet reverted, per machine.
int OutstandingMmTasks() {
  std::lock_guard<std::mutex> guard(TheTasks().lock);
  return static_cast<int>(TheTasks().byHandle.size());
}

void ResetMmTasks() {
  std::lock_guard<std::mutex> guard(TheTasks().lock);
  TheTasks().byHandle.clear();
}

}  // namespace winsim
