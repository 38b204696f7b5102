// SyncIoctl's rules for what counts as success, against a kernel that
// answers as the case says: the size-query exception of property requests,
// asynchronous completion, and the failures of the request's own machinery.
#include <gtest/gtest.h>

#include "fake_io.h"
#include "trace_capture.h"
#include "winsim/machine.h"
#include "winsim/user/handles.h"

#include <cctype>

namespace kslibtest {
namespace {

constexpr LONG kStatusSuccess = 0;
constexpr LONG kStatusDeviceRemoved = static_cast<LONG>(0xC00002B6);

struct SyncCase {
  const char *name;
  DWORD code;
  DWORD outputSize;
  IoAnswer answer;
  HRESULT expected;
  ULONG expectedBytes;
};

IoAnswer Failed(DWORD error, DWORD bytes) {
  IoAnswer answer;
  answer.result = FALSE;
  answer.error = error;
  answer.bytes = bytes;
  return answer;
}

IoAnswer Pending(LONG status) {
  IoAnswer answer;
  answer.pendingStatus = status;
  answer.bytes = 8;
  return answer;
}

const SyncCase kCases[] = {
    {"completed", IOCTL_KS_PROPERTY, 4, {TRUE, 0, 4, {}, {}}, S_OK, 4},
    {"size query answered MORE_DATA", IOCTL_KS_PROPERTY, 0, Failed(ERROR_MORE_DATA, 40), S_OK, 40},
    {"size query answered INSUFFICIENT_BUFFER", IOCTL_KS_PROPERTY, 0, Failed(ERROR_INSUFFICIENT_BUFFER, 24), S_OK,
     24},
    {"buffer too small for a real read", IOCTL_KS_PROPERTY, 4, Failed(ERROR_MORE_DATA, 40), E_FAIL, 0},
    {"buffer error of a method", IOCTL_KS_METHOD, 0, Failed(ERROR_MORE_DATA, 40), E_FAIL, 0},
    {"buffer error of an event enable", IOCTL_KS_ENABLE_EVENT, 0, Failed(ERROR_INSUFFICIENT_BUFFER, 40), E_FAIL, 0},
    {"other error", IOCTL_KS_PROPERTY, 0, Failed(ERROR_NOT_FOUND, 12), E_FAIL, 0},
    {"pending, then success", IOCTL_KS_PROPERTY, 8, Pending(kStatusSuccess), S_OK, 0},
    {"pending, then failure", IOCTL_KS_PROPERTY, 8, Pending(kStatusDeviceRemoved), E_FAIL, 0},
};

class SyncIoctlTest : public ::testing::TestWithParam<SyncCase> {
 protected:
  winsim::Machine machine;
};

TEST_P(SyncIoctlTest, ResultAndBytesReturned) {
  const SyncCase &c = GetParam();
  FakeIo io;
  io.answer = [&](const IoRequest &) { return c.answer; };
  UCHAR input[24] = {};
  UCHAR output[64] = {};
  ULONG bytes = 0xDEAD;
  EXPECT_EQ(CKsIrpTarget::SyncIoctl(kFakeHandle, c.code, input, sizeof input, c.outputSize ? output : nullptr,
                                    c.outputSize, &bytes),
            c.expected);
  EXPECT_EQ(bytes, c.expectedBytes);
  ASSERT_EQ(io.requests.size(), 1u);
  const IoRequest &sent = io.requests[0];
  EXPECT_EQ(sent.code, c.code);
  EXPECT_EQ(sent.input.size(), sizeof input);
  EXPECT_EQ(sent.outputSize, c.outputSize);
  auto event = reinterpret_cast<ULONG_PTR>(sent.overlappedEvent);
  EXPECT_EQ(event & 1, 1u) << "the OVERLAPPED's event carries the low bit (no completion port)";
  EXPECT_NE(event & ~ULONG_PTR{1}, 0u);
}

INSTANTIATE_TEST_SUITE_P(Answers, SyncIoctlTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<SyncCase> &info) {
                           std::string name;
                           for (const char *c = info.param.name; *c != '\0'; ++c) {
                             if (std::isalnum(static_cast<unsigned char>(*c))) name.push_back(*c);
                           }
                           return name;
                         });

class SyncIoctlFailures : public ::testing::Test {
 protected:
  winsim::Machine machine;
  FakeIo io;
  TraceCapture trace;
};

TEST_F(SyncIoctlFailures, AnInvalidHandleSendsNothing) {
  for (HANDLE handle : {HANDLE{nullptr}, INVALID_HANDLE_VALUE}) {
    trace.Clear();
    ULONG bytes = 7;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(handle, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0, &bytes), E_FAIL);
    EXPECT_TRUE(trace.Saw("CKsIrpTarget::SyncIoctl Invalid Handle"));
  }
  EXPECT_TRUE(io.requests.empty());
}

TEST_F(SyncIoctlFailures, NoEventIsOutOfMemoryAndSendsNothing) {
  io.failCreateEvent = true;
  EXPECT_EQ(CKsIrpTarget::SyncIoctl(kFakeHandle, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0), E_OUTOFMEMORY);
  EXPECT_TRUE(trace.Saw("CKsIrpTarget::SyncIoctl CreateEvent failed"));
  EXPECT_TRUE(io.requests.empty());
}

TEST_F(SyncIoctlFailures, AFailedWaitIsAFailureWithNoBytes) {
  io.answer = [](const IoRequest &) { return Pending(kStatusSuccess); };
  io.waitResult = WAIT_FAILED;
  ULONG bytes = 5;
  EXPECT_EQ(CKsIrpTarget::SyncIoctl(kFakeHandle, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0, &bytes), E_FAIL);
  EXPECT_EQ(bytes, 0u);
  EXPECT_TRUE(trace.Saw("CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0xffffffff"));
}

TEST_F(SyncIoctlFailures, EachRequestClosesItsEvent) {
  size_t before = winsim::HandleTable::Instance().OpenHandles();
  for (int i = 0; i < 3; ++i) CKsIrpTarget::SyncIoctl(kFakeHandle, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0);
  EXPECT_EQ(winsim::HandleTable::Instance().OpenHandles(), before);
}

TEST(KsIrpTargetHandles, SafeCloseHandleClosesOnceAndLeavesTheHandleInvalid) {
  winsim::Machine machine;
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE copy = event;
  EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(event));
  EXPECT_EQ(event, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(event)) << "already closed: nothing to do";
  HANDLE none = nullptr;
  EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(none));
  EXPECT_EQ(none, nullptr);
  EXPECT_FALSE(CloseHandle(copy)) << "closed exactly once";
}

TEST(KsIrpTargetHandles, KsDeviceIoControlReturnsTheWin32Error) {
  winsim::Machine machine;
  FakeIo io;
  CKsIrpTarget target(kFakeHandle);
  io.answer = [](const IoRequest &) { return Failed(ERROR_NOT_FOUND, 0); };
  ULONG bytes = 0;
  EXPECT_EQ(target.KsDeviceIoControl(IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0, &bytes, nullptr), ERROR_NOT_FOUND);
  io.answer = [](const IoRequest &) { return IoAnswer{}; };
  EXPECT_EQ(target.KsDeviceIoControl(IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0, &bytes, nullptr), 0u);
}

}  // namespace
}  // namespace kslibtest
