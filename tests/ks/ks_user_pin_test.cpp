// Pins of the test filter driven from user mode as a KS client drives them:
// KsCreatePin from ksuser.dll, the connection state set through the pin
// handle, stream requests sent overlapped, events on user-mode handles, and
// the pin's queued requests cancelled when its handle closes.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ks_pin_support.h"
#include "winsim/user/device_paths.h"

using namespace kstest;

namespace {

using KsCreatePinFn = DWORD(WINAPI *)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);

PKSPIN g_created = nullptr;

// One overlapped request of its own event; Wait() gives the Win32 result.
struct Request {
  OVERLAPPED overlapped{};
  DWORD bytes = 0;
  DWORD sent = ERROR_SUCCESS;  // what DeviceIoControl said
  Request() { overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Request() { CloseHandle(overlapped.hEvent); }
  bool Done() const { return WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0; }
  DWORD Wait(HANDLE file) {
    return GetOverlappedResult(file, &overlapped, &bytes, TRUE) ? ERROR_SUCCESS : GetLastError();
  }
};

KSSTREAM_HEADER Header(void *data, ULONG extent, ULONG used) {
  KSSTREAM_HEADER header{};
  header.Size = sizeof(header);
  header.Data = data;
  header.FrameExtent = extent;
  header.DataUsed = used;
  return header;
}

class UserPins : public PinTest {
 protected:
  void SetUp() override {
    PinTest::SetUp();
    g_created = nullptr;
    Pins().create = [](PKSPIN pin) {
      g_created = pin;
      return STATUS_SUCCESS;
    };
    std::vector<winsim::DeviceInterfaceInfo> found = machine.Pnp().Interfaces(&kFactoryCategories[0], true);
    ASSERT_EQ(found.size(), 1u);
    userFilter = CreateFileA(winsim::UserInterfacePath(found[0]).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(userFilter, INVALID_HANDLE_VALUE);
    ksuser = LoadLibraryA("ksuser.dll");
    createPin = reinterpret_cast<KsCreatePinFn>(reinterpret_cast<void *>(GetProcAddress(ksuser, "KsCreatePin")));
    ASSERT_NE(createPin, nullptr);
  }
  void TearDown() override {
    if (userFilter != INVALID_HANDLE_VALUE) CloseHandle(userFilter);
    FreeLibrary(ksuser);
    PinTest::TearDown();
  }

  DWORD CreateUserPin(ULONG id, HANDLE *pin, const GUID &format = kPinTestFormat) {
    std::vector<UCHAR> request = ConnectRequest(id, format);
    *pin = nullptr;
    return createPin(userFilter, reinterpret_cast<PKSPIN_CONNECT>(request.data()), GENERIC_READ | GENERIC_WRITE, pin);
  }

  // An IOCTL on a handle, sent overlapped; pending requests stay in flight.
  void Send(Request *request, HANDLE file, ULONG code, void *in, ULONG inSize, void *out, ULONG outSize) {
    request->sent = DeviceIoControl(file, code, in, inSize, out, outSize, &request->bytes, &request->overlapped)
                        ? ERROR_SUCCESS
                        : GetLastError();
  }
  DWORD Call(HANDLE file, ULONG code, void *in, ULONG inSize, void *out, ULONG outSize) {
    Request request;
    Send(&request, file, code, in, inSize, out, outSize);
    return request.sent == ERROR_IO_PENDING ? request.Wait(file) : request.sent;
  }
  DWORD SetUserState(HANDLE pin, KSSTATE state) {
    KSPROPERTY property{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET};
    return Call(pin, IOCTL_KS_PROPERTY, &property, sizeof property, &state, sizeof state);
  }

  HANDLE userFilter = INVALID_HANDLE_VALUE;
  HMODULE ksuser = nullptr;
  KsCreatePinFn createPin = nullptr;
};

TEST_F(UserPins, APinCreatedFromUserModeRunsStreamsAndStopsAtItsClose) {
  static std::vector<UCHAR> written;
  written.clear();
  Pins().process = [](PKSPIN pin) {
    PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (leading == nullptr) return STATUS_SUCCESS;
    if (pin->Id == 0) {
      written.assign(leading->OffsetIn.Data, leading->OffsetIn.Data + leading->OffsetIn.Remaining);
      leading->StreamHeader->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM;
      KsStreamPointerAdvanceOffsets(leading, leading->OffsetIn.Remaining, 0, FALSE);
    } else {
      std::memset(leading->OffsetOut.Data, 0xAB, 3);
      KsStreamPointerAdvanceOffsets(leading, 0, 3, TRUE);
    }
    return STATUS_SUCCESS;
  };
  HANDLE render = nullptr, capture = nullptr;
  ASSERT_EQ(CreateUserPin(0, &render), ERROR_SUCCESS);
  ASSERT_NE(render, nullptr);
  EXPECT_EQ(PinLog(), (std::vector<std::string>{"Format initial", "Create 0 locked"}));
  PinLog().clear();
  EXPECT_EQ(SetUserState(render, KSSTATE_RUN), ERROR_SUCCESS);
  EXPECT_EQ(PinLog(), (std::vector<std::string>{"State 0->1", "State 1->2", "State 2->3"}))
      << "every intermediate state is stepped through";
  KSSTATE state = KSSTATE_STOP;
  KSPROPERTY get{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET};
  EXPECT_EQ(Call(render, IOCTL_KS_PROPERTY, &get, sizeof get, &state, sizeof state), ERROR_SUCCESS);
  EXPECT_EQ(state, KSSTATE_RUN);

  UCHAR samples[8] = {1, 2, 3, 4, 5, 6, 0, 0};
  KSSTREAM_HEADER header = Header(samples, sizeof samples, 6);
  Request write;
  Send(&write, render, IOCTL_KS_WRITE_STREAM, nullptr, 0, &header, sizeof header);
  EXPECT_EQ(write.Wait(render), ERROR_SUCCESS);
  EXPECT_EQ(write.bytes, sizeof header);
  EXPECT_EQ(written, (std::vector<UCHAR>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(header.DataUsed, 6u);
  EXPECT_EQ(header.OptionsFlags, ULONG(KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM)) << "written back by the completion";
  EXPECT_EQ(header.Data, samples) << "the caller's pointer, not the kernel's mapping";

  ASSERT_EQ(CreateUserPin(1, &capture), ERROR_SUCCESS);
  EXPECT_EQ(SetUserState(capture, KSSTATE_RUN), ERROR_SUCCESS);
  UCHAR recorded[8] = {};
  header = Header(recorded, sizeof recorded, 5);
  Request read;
  Send(&read, capture, IOCTL_KS_READ_STREAM, nullptr, 0, &header, sizeof header);
  EXPECT_EQ(read.Wait(capture), ERROR_SUCCESS);
  EXPECT_EQ(header.DataUsed, 3u) << "what the minidriver filled";
  EXPECT_EQ(recorded[2], 0xAB);
  EXPECT_EQ(recorded[3], 0);
  EXPECT_TRUE(CloseHandle(capture));

  PinLog().clear();
  EXPECT_TRUE(CloseHandle(render));
  EXPECT_EQ(PinLog(), (std::vector<std::string>{"State 3->2", "State 2->1", "State 1->0", "Close 0"}));
}

struct Refusal {
  const char *name;
  ULONG pinId;
  bool otherFormat;
  DWORD error;
};

class UserPinRefusals : public UserPins, public ::testing::WithParamInterface<Refusal> {};

TEST_P(UserPinRefusals, KsCreatePinReturnsTheWin32Error) {
  const Refusal &r = GetParam();
  HANDLE first = nullptr;
  ASSERT_EQ(CreateUserPin(0, &first), ERROR_SUCCESS) << "the render pin's one instance";
  HANDLE refused = reinterpret_cast<HANDLE>(0x1234);
  EXPECT_EQ(CreateUserPin(r.pinId, &refused, r.otherFormat ? kPinTestSet : kPinTestFormat), r.error);
  EXPECT_EQ(refused, nullptr);
  EXPECT_TRUE(CloseHandle(first));
  HANDLE again = nullptr;
  EXPECT_EQ(CreateUserPin(0, &again), ERROR_SUCCESS) << "the instance is free again once closed";
  EXPECT_TRUE(CloseHandle(again));
}

INSTANTIATE_TEST_SUITE_P(
    Filter, UserPinRefusals,
    ::testing::Values(Refusal{"ASecondInstanceBeyondThePinsLimit", 0, false, ERROR_TOO_MANY_OPEN_FILES},
                      Refusal{"APinWithoutInstances", 2, false, ERROR_TOO_MANY_OPEN_FILES},
                      Refusal{"AFormatOutsideThePinsRanges", 1, true, ERROR_NO_MATCH}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(UserPins, NoPinIsCreatedOnAnOpenFilterOfASurpriseRemovedDevice) {
  bus.Unplug(plugged.back(), true);
  HANDLE pin = reinterpret_cast<HANDLE>(0x1234);
  EXPECT_EQ(CreateUserPin(0, &pin), static_cast<DWORD>(ERROR_DEVICE_REMOVED));
  EXPECT_EQ(pin, nullptr);
  EXPECT_EQ(g_created, nullptr) << "the minidriver was not asked";
}

// A disable names the event by the address of the caller's KSEVENTDATA that
// enabled it; two enabled one after the other stay apart.
TEST_F(UserPins, EventsEnabledFromUserModeAreSignalledByThePinsGenerationAndDisabledOneByOne) {
  HANDLE pin = nullptr;
  ASSERT_EQ(CreateUserPin(1, &pin), ERROR_SUCCESS);
  ASSERT_NE(g_created, nullptr);
  HANDLE events[2] = {CreateEventA(nullptr, FALSE, FALSE, nullptr), CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  KSEVENT request{};
  request.Set = kPinTestSet;
  request.Id = 0;
  request.Flags = KSEVENT_TYPE_ENABLE;
  KSEVENTDATA data[2] = {};
  for (int i = 0; i < 2; ++i) {
    data[i].NotificationType = KSEVENTF_EVENT_HANDLE;
    data[i].EventHandle.Event = events[i];
    ASSERT_EQ(Call(pin, IOCTL_KS_ENABLE_EVENT, &request, sizeof request, &data[i], sizeof data[i]), ERROR_SUCCESS);
  }
  auto signalled = [&](int i) { return WaitForSingleObject(events[i], 0) == WAIT_OBJECT_0; };
  EXPECT_FALSE(signalled(0));
  KsGenerateEvents(g_created, &kPinTestSet, 0, 0, nullptr, nullptr, nullptr);
  EXPECT_TRUE(signalled(0));
  EXPECT_TRUE(signalled(1));
  KsGenerateEvents(filter, &kPinTestSet, 0, 0, nullptr, nullptr, nullptr);
  EXPECT_FALSE(signalled(0)) << "another object's generation";
  EXPECT_EQ(Call(pin, IOCTL_KS_DISABLE_EVENT, &data[1], sizeof data[1], nullptr, 0), ERROR_SUCCESS);
  KsGenerateEvents(g_created, &kPinTestSet, 0, 0, nullptr, nullptr, nullptr);
  EXPECT_TRUE(signalled(0)) << "still enabled";
  EXPECT_FALSE(signalled(1)) << "disabled";
  EXPECT_EQ(Call(pin, IOCTL_KS_DISABLE_EVENT, &data[1], sizeof data[1], nullptr, 0), ERROR_GEN_FAILURE)
      << "an event that is not enabled: STATUS_UNSUCCESSFUL";
  EXPECT_EQ(Call(pin, IOCTL_KS_DISABLE_EVENT, &data[0], sizeof data[0], nullptr, 0), ERROR_SUCCESS);
  EXPECT_TRUE(CloseHandle(pin));
  for (HANDLE event : events) EXPECT_TRUE(CloseHandle(event));
}

// The buffered data is asked for by the caller's KSEVENTDATA pointer, the
// one the enable carried.
TEST_F(UserPins, ABufferedEventsDataIsFetchedByTheCallersEventData) {
  HANDLE pin = nullptr;
  ASSERT_EQ(CreateUserPin(1, &pin), ERROR_SUCCESS);
  HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 10, nullptr);
  KSEVENT request{};
  request.Set = kPinTestSet;
  request.Flags = KSEVENT_TYPE_ENABLEBUFFERED;
  KSEVENTDATA data{};
  data.NotificationType = KSEVENTF_SEMAPHORE_HANDLE;
  data.SemaphoreHandle.Semaphore = semaphore;
  data.SemaphoreHandle.Adjustment = 1;
  ASSERT_EQ(Call(pin, IOCTL_KS_ENABLE_EVENT, &request, sizeof request, &data, sizeof data), ERROR_SUCCESS);
  ULONG value = 0x1234;
  KsGenerateEvents(g_created, &kPinTestSet, 0, sizeof value, &value, nullptr, nullptr);
  EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
  KSQUERYBUFFER query{};
  query.Event = request;
  query.Event.Flags = KSEVENT_TYPE_QUERYBUFFER;
  query.EventData = &data;
  ULONG delivered = 0;
  EXPECT_EQ(Call(pin, IOCTL_KS_ENABLE_EVENT, &query, sizeof query, &delivered, sizeof delivered), ERROR_SUCCESS);
  EXPECT_EQ(delivered, 0x1234u);
  EXPECT_TRUE(CloseHandle(pin));
  EXPECT_TRUE(CloseHandle(semaphore));
}

// The frames wait: Process takes nothing (the default returns pending).
struct GiveUp {
  const char *name;
  bool cancelIo;  // else the pin handle is closed
};

class UserPinCancellation : public UserPins, public ::testing::WithParamInterface<GiveUp> {};

TEST_P(UserPinCancellation, QueuedStreamRequestsComeBackAborted) {
  HANDLE pin = nullptr;
  ASSERT_EQ(CreateUserPin(0, &pin), ERROR_SUCCESS);
  ASSERT_EQ(SetUserState(pin, KSSTATE_RUN), ERROR_SUCCESS);
  UCHAR a[4] = {}, b[4] = {};
  KSSTREAM_HEADER headers[2] = {Header(a, 4, 4), Header(b, 4, 4)};
  Request first, second;
  Send(&first, pin, IOCTL_KS_WRITE_STREAM, nullptr, 0, &headers[0], sizeof headers[0]);
  Send(&second, pin, IOCTL_KS_WRITE_STREAM, nullptr, 0, &headers[1], sizeof headers[1]);
  ASSERT_EQ(first.sent, static_cast<DWORD>(ERROR_IO_PENDING));
  ASSERT_EQ(second.sent, static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_FALSE(first.Done());
  if (GetParam().cancelIo) {
    EXPECT_TRUE(CancelIo(pin));
  } else {
    EXPECT_TRUE(CloseHandle(pin));
  }
  EXPECT_TRUE(first.Done());
  EXPECT_TRUE(second.Done());
  EXPECT_NE(std::find(PinLog().begin(), PinLog().end(), "Process"), PinLog().end()) << "they had reached the pin";
  // The I/O manager writes the status's 32 bits into Internal.
  EXPECT_EQ(static_cast<NTSTATUS>(first.overlapped.Internal), STATUS_CANCELLED);
  EXPECT_EQ(static_cast<NTSTATUS>(second.overlapped.Internal), STATUS_CANCELLED);
  if (GetParam().cancelIo) {
    EXPECT_EQ(first.Wait(pin), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_TRUE(CloseHandle(pin));
  }
  EXPECT_EQ(PinLog().back(), "Close 0");
}

INSTANTIATE_TEST_SUITE_P(Pin, UserPinCancellation,
                         ::testing::Values(GiveUp{"ByCancelIo", true}, GiveUp{"ByClosingThePinHandle", false}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
