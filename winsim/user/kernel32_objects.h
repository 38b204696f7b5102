// The kernel32 objects behind user-mode handles.
#pragma once
#include <windows.h>

#include <memory>

#include "winsim/sched/scheduler.h"
#include "winsim/user/handles.h"

namespace winsim {

// What Sleep(0) and SwitchToThread cost in virtual time: a scheduler quantum
// of a busy machine.
inline constexpr VTime kYieldCost = 100 * kTicksPerMicrosecond;

class UserEvent : public UserObject {
 public:
  UserEvent(bool manualReset, bool initialState);
  const char *TypeName() const override { return "Event"; }
  DISPATCHER_HEADER *Waitable() override { return &header; }
  DISPATCHER_HEADER header{};
};

class UserSemaphore : public UserObject {
 public:
  UserSemaphore(LONG initial, LONG maximum);
  const char *TypeName() const override { return "Semaphore"; }
  DISPATCHER_HEADER *Waitable() override { return &header; }
  DISPATCHER_HEADER header{};
  LONG limit;
};

// What a thread's body and its handles share.
struct UserThreadState {
  KEVENT started{};  // set by ResumeThread for a thread created suspended
  volatile LONG suspended = 0;
  DWORD exitCode = STILL_ACTIVE;
};

class UserThread : public UserObject {
 public:
  const char *TypeName() const override { return "Thread"; }
  DISPATCHER_HEADER *Waitable() override { return thread->ExitObject(); }
  std::shared_ptr<SimThread> thread;
  std::shared_ptr<UserThreadState> state;
};

}  // namespace winsim
