// Timer resolution requests and multimedia tasks: balanced use passes,
// unbalanced use is refused and noted.
#include <gtest/gtest.h>
#include <windows.h>

#include <avrt.h>
#include <mmsystem.h>

#include "winsim/kernel/debug_log.h"
#include "winsim/machine.h"
#include "winsim/user/user_modules.h"
#include "winsim/user/winmm_time.h"

namespace {

TEST(Winmm, TimerPeriodsMustBeEndedAsTheyWereBegun) {
  winsim::Machine machine;
  EXPECT_EQ(timeBeginPeriod(1), static_cast<UINT>(TIMERR_NOERROR));
  EXPECT_EQ(timeBeginPeriod(1), static_cast<UINT>(TIMERR_NOERROR));
  EXPECT_EQ(winsim::OutstandingTimerPeriods(), 2);
  EXPECT_EQ(timeEndPeriod(2), static_cast<UINT>(TIMERR_NOCANDO)) << "another period than the one begun";
  EXPECT_EQ(timeEndPeriod(1), static_cast<UINT>(TIMERR_NOERROR));
  EXPECT_EQ(timeEndPeriod(1), static_cast<UINT>(TIMERR_NOERROR));
  EXPECT_EQ(winsim::OutstandingTimerPeriods(), 0);
  // A wrong routine: ends once more than it began.
  EXPECT_EQ(timeEndPeriod(1), static_cast<UINT>(TIMERR_NOCANDO));
  EXPECT_EQ(winsim::DebugLog::Count("without a matching timeBeginPeriod"), 2u);
  EXPECT_EQ(timeBeginPeriod(0), static_cast<UINT>(TIMERR_NOCANDO));
}

typedef HANDLE(WINAPI *SetCharacteristicsFn)(LPCSTR, LPDWORD);
typedef BOOL(WINAPI *SetPriorityFn)(HANDLE, AVRT_PRIORITY);
typedef BOOL(WINAPI *RevertFn)(HANDLE);

template <typename Fn>
Fn Export(HMODULE module, const char *name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

TEST(Avrt, ThreadsJoinKnownTasksByNameAndRevertOnce) {
  winsim::Machine machine;
  HMODULE avrt = LoadLibraryA("avrt.dll");
  ASSERT_NE(avrt, nullptr);
  auto join = Export<SetCharacteristicsFn>(avrt, "AvSetMmThreadCharacteristicsA");
  auto priority = Export<SetPriorityFn>(avrt, "AvSetMmThreadPriority");
  auto revert = Export<RevertFn>(avrt, "AvRevertMmThreadCharacteristics");
  ASSERT_TRUE(join && priority && revert);
  DWORD index = 0;
  EXPECT_EQ(join("No Such Task", &index), nullptr);
  EXPECT_EQ(GetLastError(), 1550u);
  HANDLE task = join("Pro Audio", &index);
  ASSERT_NE(task, nullptr);
  EXPECT_NE(index, 0u);
  EXPECT_TRUE(priority(task, AVRT_PRIORITY_HIGH));
  EXPECT_FALSE(priority(task, static_cast<AVRT_PRIORITY>(3)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(winsim::OutstandingMmTasks(), 1);
  EXPECT_TRUE(revert(task));
  // A wrong routine: reverts the same task twice, then uses it.
  EXPECT_FALSE(revert(task));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(priority(task, AVRT_PRIORITY_HIGH));
  EXPECT_EQ(winsim::OutstandingMmTasks(), 0);
}

}  // namespace
