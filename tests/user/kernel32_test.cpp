#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>

#include "winsim/machine.h"
#include "winsim/user/handles.h"

using namespace winsim;

namespace {

constexpr VTime kMs = kTicksPerMillisecond;

struct SleepArgs {
  DWORD milliseconds;
  HANDLE done;
};

DWORD WINAPI SleepThenSignal(LPVOID parameter) {
  auto *args = static_cast<SleepArgs *>(parameter);
  Sleep(args->milliseconds);
  SetEvent(args->done);
  return args->milliseconds;
}

TEST(Kernel32, WaitForSingleObjectTimesOutAtExactlyTheRequestedMilliseconds) {
  Machine machine;
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  DWORD before = timeGetTime();
  EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_TIMEOUT);
  EXPECT_EQ(timeGetTime() - before, 2000u);
  EXPECT_TRUE(CloseHandle(event));
}

TEST(Kernel32, ThreadsRunTheirStartRoutineAndReportTheExitCode) {
  Machine machine;
  HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  SleepArgs args{30, done};
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, SleepThenSignal, &args, 0, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(done, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(machine.Now(), 30 * kMs);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 30u);
  CloseHandle(thread);
  CloseHandle(done);
}

TEST(Kernel32, SuspendedThreadStartsOnlyWhenResumed) {
  Machine machine;
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SleepArgs args{5, done};
  HANDLE thread = CreateThread(nullptr, 0, SleepThenSignal, &args, CREATE_SUSPENDED, nullptr);
  EXPECT_EQ(WaitForSingleObject(done, 100), WAIT_TIMEOUT);
  EXPECT_EQ(ResumeThread(thread), 1u);
  EXPECT_EQ(WaitForSingleObject(done, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(machine.Now(), 105 * kMs);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  CloseHandle(done);
}

struct MultiWaitCase {
  const char *name;
  BOOL waitAll;
  DWORD expected;
  VTime expectedTime;
};

class MultiWait : public ::testing::TestWithParam<MultiWaitCase> {};

TEST_P(MultiWait, WaitsForAnyOrAllOfSeveralThreads) {
  const MultiWaitCase &c = GetParam();
  Machine machine;
  HANDLE events[3];
  SleepArgs args[3] = {{40, nullptr}, {10, nullptr}, {25, nullptr}};
  HANDLE threads[3];
  for (int i = 0; i < 3; ++i) {
    events[i] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    args[i].done = events[i];
    threads[i] = CreateThread(nullptr, 0, SleepThenSignal, &args[i], 0, nullptr);
  }
  EXPECT_EQ(WaitForMultipleObjects(3, events, c.waitAll, INFINITE), c.expected);
  EXPECT_EQ(machine.Now(), c.expectedTime);
  EXPECT_EQ(WaitForMultipleObjects(3, threads, TRUE, INFINITE), WAIT_OBJECT_0);
  for (int i = 0; i < 3; ++i) {
    CloseHandle(threads[i]);
    CloseHandle(events[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, MultiWait,
                         ::testing::Values(MultiWaitCase{"Any", FALSE, WAIT_OBJECT_0 + 1, 10 * kMs},
                                           MultiWaitCase{"All", TRUE, WAIT_OBJECT_0, 40 * kMs}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Kernel32, NamedEventsAreSharedAndReportThatTheyAlreadyExisted) {
  Machine machine;
  HANDLE first = CreateEventA(nullptr, TRUE, FALSE, "QavTestEvent");
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  HANDLE second = CreateEventA(nullptr, TRUE, FALSE, "QavTestEvent");
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  HANDLE opened = OpenEventA(EVENT_ALL_ACCESS, FALSE, "QavTestEvent");
  ASSERT_NE(opened, nullptr);
  SetEvent(second);
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);
  EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "NoSuchEvent"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  for (HANDLE h : {first, second, opened}) CloseHandle(h);
}

TEST(Kernel32, BadHandlesFailWithInvalidHandle) {
  Machine machine;
  HANDLE bogus = reinterpret_cast<HANDLE>(0x1234);
  EXPECT_EQ(WaitForSingleObject(bogus, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetEvent(bogus));
  EXPECT_FALSE(CloseHandle(bogus));
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  CloseHandle(event);
  EXPECT_FALSE(SetEvent(event));  // closed handles are gone
  EXPECT_EQ(HandleTable::Instance().OpenHandles(), 0u);
}

TEST(Kernel32, SemaphoreRefusesReleasesBeyondItsMaximum) {
  Machine machine;
  HANDLE semaphore = CreateSemaphoreA(nullptr, 1, 2, nullptr);
  LONG previous = -1;
  EXPECT_TRUE(ReleaseSemaphore(semaphore, 1, &previous));
  EXPECT_EQ(previous, 1);
  EXPECT_FALSE(ReleaseSemaphore(semaphore, 1, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_TIMEOUT);
  CloseHandle(semaphore);
}

TEST(Kernel32, ClocksFollowVirtualTimeWithTheirOwnResolutions) {
  Machine machine;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  Sleep(20);
  QueryPerformanceCounter(&end);
  EXPECT_EQ((end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart, 20);
  EXPECT_EQ(timeGetTime(), 20u);
  EXPECT_EQ(GetTickCount(), 15u);  // one 15.625 ms clock tick has passed
}

TEST(Kernel32, ThreadPriorityIsRecordedForTheCurrentThreadPseudoHandle) {
  Machine machine;
  EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL));
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_TIME_CRITICAL);
  EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 7));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
