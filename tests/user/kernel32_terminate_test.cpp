// TerminateThread: refused while the thread runs (a simulated thread cannot
// be stopped soundly at an arbitrary point), granted once it has ended.
#include <gtest/gtest.h>
#include <windows.h>

#include "winsim/kernel/debug_log.h"
#include "winsim/machine.h"

namespace {

DWORD WINAPI WaitForEvent(LPVOID parameter) {
  WaitForSingleObject(static_cast<HANDLE>(parameter), INFINITE);
  return 7;
}

TEST(Kernel32Terminate, RunningThreadsAreNotTerminated) {
  winsim::Machine machine;
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, WaitForEvent, release, CREATE_SUSPENDED, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(ResumeThread(thread), 1u);
  // A wrong routine: gives up on its thread and kills it.
  EXPECT_FALSE(TerminateThread(thread, 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(winsim::DebugLog::Count("TerminateThread refused"), 1u);
  SetEvent(release);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(TerminateThread(thread, 1)) << "an ended thread";
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u) << "its own exit code stands";
  EXPECT_FALSE(TerminateThread(nullptr, 1));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  CloseHandle(thread);
  CloseHandle(release);
}

}  // namespace
