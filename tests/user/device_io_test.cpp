// Device I/O from user mode against a small driver of the test's own:
// statuses as Win32 errors, overlapped requests, cancellation, the order of
// cleanup and close, buffer copies, per-process handles, and the name a
// pin create carries.
#include <gtest/gtest.h>
#include <windows.h>
#include <wdm.h>
#include <ks.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/user/io_test_driver.h"
#include "winsim/kernel/io_file.h"
#include "winsim/machine.h"

using namespace usertest;

namespace {

constexpr ULONG kBufferedIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeitherIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);

HANDLE Open(DWORD flags = 0) {
  return CreateFileA(kDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | flags, nullptr);
}

struct StatusCase {
  NTSTATUS status;
  DWORD error;
  DWORD bytes;  // what the caller is told was returned
};

class StatusMapping : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusMapping, TheDriversStatusReachesTheCallerAsWindowsMapsIt) {
  winsim::Machine machine;
  IoTestDriver driver;
  const StatusCase c = GetParam();
  driver.onDeviceControl = [&](PIRP irp, PIO_STACK_LOCATION) { return Complete(irp, c.status, 3); };
  HANDLE file = Open();
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  UCHAR out[8] = {};
  DWORD bytes = 99;
  BOOL ok = DeviceIoControl(file, kBufferedIoctl, nullptr, 0, out, sizeof out, &bytes, nullptr);
  EXPECT_EQ(ok, c.error == ERROR_SUCCESS);
  if (!ok) {
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_EQ(bytes, c.bytes);
  EXPECT_TRUE(CloseHandle(file));
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, StatusMapping,
    ::testing::Values(StatusCase{STATUS_SUCCESS, ERROR_SUCCESS, 3}, StatusCase{STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA, 3},
                      StatusCase{STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER, 0},
                      StatusCase{STATUS_NOT_FOUND, ERROR_NOT_FOUND, 0},
                      StatusCase{STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER, 0},
                      StatusCase{STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED, 0},
                      StatusCase{STATUS_NO_MATCH, ERROR_NO_MATCH, 0},
                      StatusCase{STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES, 0},
                      StatusCase{STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED, 0},
                      StatusCase{STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT, 0},
                      StatusCase{static_cast<NTSTATUS>(0xC0000708), ERROR_BUSY, 0},
                      StatusCase{STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION, 0},
                      StatusCase{static_cast<NTSTATUS>(0xC0070057), ERROR_INVALID_PARAMETER, 0},
                      StatusCase{STATUS_INVALID_PARAMETER_3, ERROR_INVALID_PARAMETER, 0},
                      StatusCase{STATUS_INVALID_BUFFER_SIZE, ERROR_INVALID_USER_BUFFER, 0},
                      StatusCase{STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND, 0},
                      StatusCase{STATUS_DEVICE_NOT_READY, ERROR_NOT_READY, 0},
                      StatusCase{STATUS_DEVICE_BUSY, ERROR_BUSY, 3},  // a warning: the count stays
                      StatusCase{STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE, 0},
                      StatusCase{STATUS_CANCELLED, ERROR_OPERATION_ABORTED, 0},
                      StatusCase{STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND, 0},
                      StatusCase{STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE, 0},
                      StatusCase{STATUS_TOO_MANY_OPENED_FILES, ERROR_TOO_MANY_OPEN_FILES, 0},
                      StatusCase{static_cast<NTSTATUS>(0xC0ABCDEF), ERROR_MR_MID_NOT_FOUND, 0}));

// The driver keeps the IRP, with a cancel routine, until the test completes it.
struct HeldIrp {
  PIRP irp = nullptr;
};

HeldIrp *g_held = nullptr;

void CancelHeld(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  g_held->irp = nullptr;
  Complete(irp, STATUS_CANCELLED);
}

Handler Hold(HeldIrp *held) {
  g_held = held;
  return [held](PIRP irp, PIO_STACK_LOCATION) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelHeld);
    held->irp = irp;
    return STATUS_PENDING;
  };
}

void CompleteHeld(HeldIrp *held, NTSTATUS status, ULONG_PTR information) {
  ASSERT_NE(IoSetCancelRoutine(held->irp, nullptr), nullptr);
  Complete(held->irp, status, information);
  held->irp = nullptr;
}

TEST(DeviceIo, AnOverlappedRequestPendsThenSignalsItsEventAndReportsTheBytes) {
  winsim::Machine machine;
  IoTestDriver driver;
  HeldIrp held;
  driver.onDeviceControl = Hold(&held);
  HANDLE file = Open(FILE_FLAG_OVERLAPPED);
  HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);  // set: the request must reset it
  OVERLAPPED overlapped{};
  // The low bit only keeps the completion from a completion port.
  overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
  UCHAR out[4] = {};
  DWORD bytes = 0;
  EXPECT_FALSE(DeviceIoControl(file, kBufferedIoctl, nullptr, 0, out, sizeof out, &bytes, &overlapped));
  EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  EXPECT_FALSE(GetOverlappedResult(file, &overlapped, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  std::memcpy(held.irp->AssociatedIrp.SystemBuffer, "\x01\x02", 2);
  CompleteHeld(&held, STATUS_SUCCESS, 2);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(GetOverlappedResult(file, &overlapped, &bytes, TRUE));
  EXPECT_EQ(bytes, 2u);
  EXPECT_EQ(out[1], 2);
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_TRUE(CloseHandle(file));
}

DWORD WINAPI IssueAndExit(LPVOID parameter) {
  auto *file = static_cast<HANDLE *>(parameter);
  static OVERLAPPED overlapped;
  overlapped = {};
  DWORD bytes = 0;
  DeviceIoControl(*file, kBufferedIoctl, nullptr, 0, nullptr, 0, &bytes, &overlapped);
  return GetLastError();
}

TEST(DeviceIo, CancelIoAndAThreadsExitCancelThatThreadsRequests) {
  winsim::Machine machine;
  IoTestDriver driver;
  HeldIrp held;
  driver.onDeviceControl = Hold(&held);
  HANDLE file = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped{};
  DWORD bytes = 0;
  EXPECT_FALSE(DeviceIoControl(file, kBufferedIoctl, nullptr, 0, nullptr, 0, &bytes, &overlapped));
  EXPECT_TRUE(CancelIo(file));
  EXPECT_EQ(held.irp, nullptr) << "CancelIo returns once the request completed";
  EXPECT_FALSE(GetOverlappedResult(file, &overlapped, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

  HANDLE thread = CreateThread(nullptr, 0, IssueAndExit, &file, 0, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  DWORD exitCode = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &exitCode));
  EXPECT_EQ(exitCode, ERROR_IO_PENDING);
  EXPECT_EQ(held.irp, nullptr) << "the thread's exit cancelled its request";
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_TRUE(CloseHandle(file));
}

TEST(DeviceIo, CleanupComesAtTheLastHandleAndCloseOnlyAfterTheLastRequestCompleted) {
  winsim::Machine machine;
  IoTestDriver driver;
  HeldIrp held;
  driver.onDeviceControl = Hold(&held);
  HANDLE file = Open(FILE_FLAG_OVERLAPPED);
  OVERLAPPED overlapped{};
  DWORD bytes = 0;
  EXPECT_FALSE(DeviceIoControl(file, kBufferedIoctl, nullptr, 0, nullptr, 0, &bytes, &overlapped));
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(driver.Seen(), (std::vector<std::string>{"create", "ioctl", "cleanup"}));
  EXPECT_FALSE(CloseHandle(file)) << "the handle is gone";
  CompleteHeld(&held, STATUS_SUCCESS, 0);
  machine.Threads().WaitUntil([] { return winsim::LiveFileObjectCount() == 0; }, winsim::kInfinite);
  EXPECT_EQ(driver.Seen(), (std::vector<std::string>{"create", "ioctl", "cleanup", "close"}));
}

TEST(DeviceIo, NeitherIoctlsReachTheDriverAsUserModeWithCopiesOfTheCallersBuffers) {
  winsim::Machine machine;
  IoTestDriver driver;
  UCHAR in[5] = {1, 2, 3, 4, 5};
  UCHAR out[6] = {};
  driver.onDeviceControl = [&](PIRP irp, PIO_STACK_LOCATION stack) {
    const auto &p = stack->Parameters.DeviceIoControl;
    EXPECT_EQ(irp->RequestorMode, UserMode);
    EXPECT_NE(p.Type3InputBuffer, static_cast<PVOID>(in)) << "a copy of exactly the size given";
    EXPECT_EQ(p.InputBufferLength, 5u);
    EXPECT_EQ(std::memcmp(p.Type3InputBuffer, in, 5), 0);
    EXPECT_NE(irp->UserBuffer, static_cast<PVOID>(out));
    static_cast<UCHAR *>(irp->UserBuffer)[5] = 0x5A;
    return Complete(irp, STATUS_SUCCESS, 6);
  };
  HANDLE file = Open();
  DWORD bytes = 0;
  EXPECT_TRUE(DeviceIoControl(file, kNeitherIoctl, in, sizeof in, out, sizeof out, &bytes, nullptr));
  EXPECT_EQ(bytes, 6u);
  EXPECT_EQ(out[5], 0x5A);
  EXPECT_TRUE(CloseHandle(file));
}

DWORD WINAPI UseForeignHandle(LPVOID parameter) {
  HANDLE file = *static_cast<HANDLE *>(parameter);
  DWORD bytes = 0;
  if (DeviceIoControl(file, kBufferedIoctl, nullptr, 0, nullptr, 0, &bytes, nullptr)) return 0;
  return GetLastError();
}

TEST(DeviceIo, AnotherProcessCannotUseAHandleOfThisOne) {
  winsim::Machine machine;
  IoTestDriver driver;
  HANDLE file = Open();
  DWORD result = 0;
  auto other = machine.Threads().Spawn("other process", winsim::ThreadKind::User, 2000,
                                       [&] { result = UseForeignHandle(&file); });
  KeWaitForSingleObject(other->ExitObject(), Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(result, ERROR_INVALID_HANDLE);
  EXPECT_EQ(driver.Seen(), (std::vector<std::string>{"create"}));
  EXPECT_EQ(UseForeignHandle(&file), ERROR_INVALID_FUNCTION) << "the owner still reaches the driver";
  EXPECT_TRUE(CloseHandle(file));
}

using KsCreatePinFn = DWORD(WINAPI *)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);

TEST(DeviceIo, KsCreatePinOpensRelativeToTheFilterWithTheConnectionAsBinaryName) {
  winsim::Machine machine;
  IoTestDriver driver;
  HMODULE ksuser = LoadLibraryA("ksuser.dll");
  ASSERT_NE(ksuser, nullptr);
  auto createPin = reinterpret_cast<KsCreatePinFn>(reinterpret_cast<void *>(GetProcAddress(ksuser, "KsCreatePin")));
  ASSERT_NE(createPin, nullptr);
  EXPECT_EQ(GetProcAddress(ksuser, "KsCreateClock"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(LoadLibraryA("nosuch.dll"), nullptr);

  HANDLE filter = Open();
  struct {
    KSPIN_CONNECT connect;
    KSDATAFORMAT format;
    UCHAR extra[3];
  } request{};
  request.connect.PinId = 7;
  request.format.FormatSize = sizeof(KSDATAFORMAT) + 3;
  request.extra[2] = 0xEE;
  std::u16string name;
  PFILE_OBJECT related = nullptr;
  NTSTATUS answer = STATUS_SUCCESS;
  driver.onCreate = [&](PIRP irp, PIO_STACK_LOCATION stack) {
    const UNICODE_STRING &fileName = stack->FileObject->FileName;
    name.assign(fileName.Buffer, fileName.Length / sizeof(WCHAR));
    related = stack->FileObject->RelatedFileObject;
    return Complete(irp, answer);
  };
  HANDLE pin = nullptr;
  ASSERT_EQ(createPin(filter, &request.connect, GENERIC_READ | GENERIC_WRITE, &pin), ERROR_SUCCESS);
  const std::u16string prefix = u"{146F1A80-4791-11D0-A5D6-28DB04C10000}\\";
  ASSERT_EQ(name.substr(0, prefix.size()), prefix);
  const size_t bytes = sizeof(KSPIN_CONNECT) + request.format.FormatSize;
  EXPECT_EQ(name.size(), prefix.size() + (bytes + 1) / 2);
  EXPECT_EQ(std::memcmp(name.data() + prefix.size(), &request, bytes), 0);
  EXPECT_NE(related, nullptr);

  answer = STATUS_NO_MATCH;
  HANDLE refused = nullptr;
  EXPECT_EQ(createPin(filter, &request.connect, GENERIC_READ | GENERIC_WRITE, &refused), ERROR_NO_MATCH);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(createPin(nullptr, &request.connect, GENERIC_READ, &refused), ERROR_INVALID_HANDLE);

  EXPECT_TRUE(CloseHandle(filter));
  EXPECT_EQ(driver.Seen().back(), "cleanup") << "the pin keeps its filter's file until the pin closes";
  EXPECT_TRUE(CloseHandle(pin));
  EXPECT_EQ(driver.Seen(), (std::vector<std::string>{"create", "create", "create", "cleanup", "cleanup", "close",
                                                     "close"}));
}

TEST(DeviceIo, OpeningWhatIsNotThereFailsAsWindowsDoes) {
  winsim::Machine machine;
  IoTestDriver driver;
  EXPECT_EQ(CreateFileA("\\\\?\\GLOBALROOT\\Device\\NoSuchDevice", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  driver.onCreate = [](PIRP irp, PIO_STACK_LOCATION) { return Complete(irp, STATUS_DEVICE_REMOVED); };
  EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_REMOVED);
  EXPECT_EQ(driver.Seen(), (std::vector<std::string>{"create"})) << "a failed create is not cleaned up or closed";
  DWORD bytes = 0;
  EXPECT_FALSE(DeviceIoControl(INVALID_HANDLE_VALUE, kBufferedIoctl, nullptr, 0, nullptr, 0, &bytes, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(DeviceIo, SleepZeroCostsVirtualTimeSoAPollingThreadLetsTimePass) {
  winsim::Machine machine;
  DWORD start = timeGetTime();
  int polls = 0;
  while (timeGetTime() - start < 5 && polls < 1000) {
    Sleep(0);
    ++polls;
  }
  EXPECT_EQ(timeGetTime() - start, 5u);
  EXPECT_EQ(polls, 50);
  EXPECT_TRUE(SwitchToThread());
}

// A driver that reports more bytes than the caller's buffer holds would
// have the I/O manager copy past it.
void OverReportingDriver() {
  IoTestDriver driver;
  driver.onDeviceControl = [](PIRP irp, PIO_STACK_LOCATION) { return Complete(irp, STATUS_SUCCESS, 9); };
  HANDLE file = Open();
  UCHAR out[8];
  DWORD bytes = 0;
  DeviceIoControl(file, kBufferedIoctl, nullptr, 0, out, sizeof out, &bytes, nullptr);
}

TEST(DeviceIoRules, ReportingMoreBytesThanTheOutputBufferStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        winsim::Machine machine;
        OverReportingDriver();
      },
      "completed with Information 9, more than its 8-byte output buffer");
}

void CloseFileTwice() {
  IoTestDriver driver;
  PFILE_OBJECT file = nullptr;
  ASSERT_EQ(winsim::OpenDevicePath(u"\\??\\GLOBALROOT\\Device\\QavUserIo", UserMode, GENERIC_READ, &file),
            STATUS_SUCCESS);
  winsim::CloseFileHandle(file);
  winsim::CloseFileHandle(file);
}

TEST(DeviceIoRules, UsingAFileObjectAfterItsCloseStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        winsim::Machine machine;
        CloseFileTwice();
      },
      "closing a handle of 0x[0-9a-f]+, which is not a live file object");
}

#if defined(__SANITIZE_ADDRESS__)
// A caller that states a larger buffer than it has: the I/O manager copies
// exactly the size stated, so the overrun shows at the caller's buffer.
TEST(DeviceIoRules, AnInputSizeLargerThanTheCallersBufferIsCaughtByAddressSanitizer) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        winsim::Machine machine;
        IoTestDriver driver;
        driver.onDeviceControl = [](PIRP irp, PIO_STACK_LOCATION) { return Complete(irp, STATUS_SUCCESS); };
        HANDLE file = Open();
        auto *small = new UCHAR[4];
        DWORD bytes = 0;
        DeviceIoControl(file, kNeitherIoctl, small, 8, nullptr, 0, &bytes, nullptr);
        delete[] small;
      },
      "heap-buffer-overflow");
}
#endif

}  // namespace
