// Stream requests on pins: frames reach the minidriver through stream
// pointers, an IRP completes when its frames are done with the results in
// the caller's headers, clones hold frames, cancellation and reset give
// frames back, events enabled from user mode signal the caller's handle.
#include <cstring>
#include <memory>

#include "ks_pin_support.h"
#include "winsim/ks/ks_runtime.h"
#include "winsim/user/kernel32_objects.h"

using namespace kstest;

namespace {

KSSTREAM_HEADER Header(void *data, ULONG extent, ULONG used) {
  KSSTREAM_HEADER header{};
  header.Size = sizeof(header);
  header.Data = data;
  header.FrameExtent = extent;
  header.DataUsed = used;
  return header;
}

class Streaming : public PinTest {
 protected:
  PKSPIN Running(ULONG id) {
    PKSPIN pin = nullptr;
    EXPECT_EQ(Create(ConnectRequest(id), &pin).status, STATUS_SUCCESS);
    EXPECT_EQ(SetState(pin, KSSTATE_RUN).status, STATUS_SUCCESS);
    PinLog().clear();
    return pin;
  }
};

TEST_F(Streaming, WrittenFramesReachProcessAndCompleteWhenConsumed) {
  static std::vector<UCHAR> seen;
  seen.clear();
  Pins().process = [](PKSPIN pin) {
    for (PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
         leading != nullptr;) {
      seen.insert(seen.end(), leading->OffsetIn.Data, leading->OffsetIn.Data + leading->OffsetIn.Remaining);
      leading->StreamHeader->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM;
      if (KsStreamPointerAdvanceOffsets(leading, leading->OffsetIn.Remaining, 0, FALSE) != STATUS_SUCCESS) break;
    }
    return STATUS_SUCCESS;
  };
  PKSPIN pin = Running(0);
  UCHAR a[4] = {1, 2, 3, 4}, b[2] = {5, 6};
  KSSTREAM_HEADER headers[2] = {Header(a, 4, 4), Header(b, 2, 2)};
  Stream stream;
  Send(&stream, pin, IOCTL_KS_WRITE_STREAM, headers, 2);
  EXPECT_EQ(stream.sent, STATUS_PENDING);
  ASSERT_TRUE(stream.Done());
  EXPECT_EQ(stream.Status(), STATUS_SUCCESS);
  EXPECT_EQ(stream.irp->IoStatus.Information, 2 * sizeof(KSSTREAM_HEADER));
  EXPECT_EQ(seen, (std::vector<UCHAR>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(headers[0].OptionsFlags, ULONG(KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM));
  Free(&stream);
}

// A minidriver that takes part of a frame and lets go of the pointer finds
// it, locked again, where it stopped.
TEST_F(Streaming, ALeadingEdgeLockedAgainResumesWhereItStopped) {
  static std::vector<UCHAR> seen;
  static std::vector<ULONG> counts;
  seen.clear();
  counts.clear();
  Pins().process = [](PKSPIN pin) {
    PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (leading == nullptr) return STATUS_SUCCESS;
    counts.push_back(leading->OffsetIn.Count);
    const ULONG take = leading->OffsetIn.Remaining < 2 ? leading->OffsetIn.Remaining : 2;
    seen.insert(seen.end(), leading->OffsetIn.Data, leading->OffsetIn.Data + take);
    KsStreamPointerAdvanceOffsetsAndUnlock(leading, take, 0, FALSE);
    return STATUS_SUCCESS;
  };
  PKSPIN pin = Running(0);
  UCHAR a[5] = {1, 2, 3, 4, 5};
  KSSTREAM_HEADER header = Header(a, 5, 5);
  Stream stream;
  Send(&stream, pin, IOCTL_KS_WRITE_STREAM, &header, 1);
  ASSERT_TRUE(stream.Done());
  EXPECT_EQ(seen, (std::vector<UCHAR>{1, 2, 3, 4, 5}));
  EXPECT_EQ(counts, (std::vector<ULONG>{5, 5, 5})) << "Count stays the frame's size";
  Free(&stream);
}

TEST_F(Streaming, ReadFramesCarryTheDataAndDataUsedBack) {
  Pins().process = [](PKSPIN pin) {
    PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (leading == nullptr) return STATUS_SUCCESS;
    std::memset(leading->OffsetOut.Data, 0xAB, 3);
    leading->StreamHeader->PresentationTime.Time = 777;
    KsStreamPointerAdvanceOffsets(leading, 0, 3, TRUE);
    return STATUS_SUCCESS;
  };
  PKSPIN pin = Running(1);
  UCHAR buffer[8] = {};
  KSSTREAM_HEADER header = Header(buffer, 8, 0);
  Stream stream;
  Send(&stream, pin, IOCTL_KS_READ_STREAM, &header, 1);
  ASSERT_TRUE(stream.Done());
  EXPECT_EQ(header.DataUsed, 3u);
  EXPECT_EQ(header.PresentationTime.Time, 777);
  EXPECT_EQ(buffer[2], 0xAB);
  EXPECT_EQ(buffer[3], 0);
  Free(&stream);
}

TEST_F(Streaming, AStopOnlyPinAndDoNotInitiateHoldFramesUntilRun) {
  PKSPIN pin = nullptr;
  ASSERT_EQ(Create(ConnectRequest(0), &pin).status, STATUS_SUCCESS);
  SetState(pin, KSSTATE_PAUSE);
  PinLog().clear();
  UCHAR data[4] = {};
  KSSTREAM_HEADER header = Header(data, 4, 4);
  Stream stream;
  Send(&stream, pin, IOCTL_KS_WRITE_STREAM, &header, 1);
  EXPECT_EQ(PinLog(), std::vector<std::string>{});  // pin 0 processes in RUN only
  EXPECT_FALSE(stream.Done());
  Pins().process = [](PKSPIN p) {
    PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(p, KSSTREAM_POINTER_STATE_LOCKED);
    if (leading != nullptr) KsStreamPointerUnlock(leading, TRUE);
    return STATUS_SUCCESS;
  };
  SetState(pin, KSSTATE_RUN);
  KeWaitForSingleObject(&stream.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(stream.Status(), STATUS_SUCCESS);
  Free(&stream);
}

TEST_F(Streaming, ACloneKeepsItsFrameUntilDeleted) {
  static PKSSTREAM_POINTER clone;
  clone = nullptr;
  Pins().process = [](PKSPIN pin) {
    PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (leading == nullptr) return STATUS_SUCCESS;
    KsStreamPointerClone(leading, nullptr, 0, &clone);
    KsStreamPointerUnlock(leading, TRUE);
    return STATUS_SUCCESS;
  };
  PKSPIN pin = Running(0);
  UCHAR data[4] = {};
  KSSTREAM_HEADER header = Header(data, 4, 4);
  Stream stream;
  Send(&stream, pin, IOCTL_KS_WRITE_STREAM, &header, 1);
  ASSERT_NE(clone, nullptr);
  EXPECT_FALSE(stream.Done());
  EXPECT_EQ(KsPinGetFirstCloneStreamPointer(pin), clone);
  KsStreamPointerDelete(clone);
  EXPECT_TRUE(stream.Done());
  Free(&stream);
}

struct BadStream {
  const char *name;
  ULONG pinId;
  KSSTATE state;
  ULONG code;
  ULONG headerSize;
  ULONG used;
  bool noData;
  ULONG lengthBytes;  // 0: one header
  NTSTATUS status;
};

class MalformedStreams : public Streaming, public ::testing::WithParamInterface<BadStream> {};

TEST_P(MalformedStreams, AreRefusedBeforeTheyAreQueued) {
  const BadStream &c = GetParam();
  PKSPIN pin = nullptr;
  ASSERT_EQ(Create(ConnectRequest(c.pinId), &pin).status, STATUS_SUCCESS);
  SetState(pin, c.state);
  PinLog().clear();
  UCHAR data[8] = {};
  KSSTREAM_HEADER header = Header(c.noData ? nullptr : data, 8, c.used);
  header.Size = c.headerSize;
  Result result = Control(pin, c.code, nullptr, 0, &header, c.lengthBytes ? c.lengthBytes : sizeof(header));
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(PinLog().size(), 0u) << "nothing reached the pin";
}

const ULONG kH = sizeof(KSSTREAM_HEADER);
INSTANTIATE_TEST_SUITE_P(
    Pin, MalformedStreams,
    ::testing::Values(
        BadStream{"HeaderSizeOtherThanTheLayout", 0, KSSTATE_RUN, IOCTL_KS_WRITE_STREAM, 48, 4, false, 0,
                  STATUS_INVALID_BUFFER_SIZE},
        BadStream{"LengthNotAWholeNumberOfHeaders", 0, KSSTATE_RUN, IOCTL_KS_WRITE_STREAM, kH, 4, false, kH - 8,
                  STATUS_INVALID_BUFFER_SIZE},
        BadStream{"MoreDataUsedThanTheFrameHolds", 0, KSSTATE_RUN, IOCTL_KS_WRITE_STREAM, kH, 9, false, 0,
                  STATUS_INVALID_BUFFER_SIZE},
        BadStream{"AnExtentWithoutABuffer", 0, KSSTATE_RUN, IOCTL_KS_WRITE_STREAM, kH, 4, true, 0,
                  STATUS_INVALID_PARAMETER},
        BadStream{"AReadOnADataInPin", 0, KSSTATE_RUN, IOCTL_KS_READ_STREAM, kH, 0, false, 0,
                  STATUS_INVALID_DEVICE_REQUEST},
        BadStream{"AWriteToAStoppedPin", 0, KSSTATE_STOP, IOCTL_KS_WRITE_STREAM, kH, 4, false, 0,
                  STATUS_INVALID_DEVICE_STATE}),
    [](const auto &info) { return std::string(info.param.name); });

struct GiveBack {
  const char *name;
  int how;  // 0 cancel, 1 reset, 2 cleanup, 3 stop
};

class QueuedFrames : public Streaming, public ::testing::WithParamInterface<GiveBack> {};

TEST_P(QueuedFrames, AreGivenBackCancelled) {
  PKSPIN pin = Running(0);  // Process leaves the frame queued
  UCHAR data[4] = {};
  KSSTREAM_HEADER header = Header(data, 4, 4);
  FILE_OBJECT pinFile{};
  Stream stream;
  Send(&stream, pin, IOCTL_KS_WRITE_STREAM, &header, 1, &pinFile);
  ASSERT_FALSE(stream.Done());
  KSRESET reset = KSRESET_BEGIN;
  switch (GetParam().how) {
    case 0: IoCancelIrp(stream.irp); break;
    case 1: EXPECT_EQ(Control(pin, IOCTL_KS_RESET_STATE, &reset, sizeof(reset), nullptr, 0).status, STATUS_SUCCESS); break;
    case 2: winsim::ks::CleanupObject(pin, &pinFile); break;
    case 3: SetState(pin, KSSTATE_STOP); break;
  }
  ASSERT_TRUE(stream.Done());
  EXPECT_EQ(stream.Status(), STATUS_CANCELLED);
  Free(&stream);
}

INSTANTIATE_TEST_SUITE_P(Pin, QueuedFrames,
                         ::testing::Values(GiveBack{"ByCancellation", 0}, GiveBack{"ByReset", 1},
                                           GiveBack{"ByCleanupOfTheirFileObject", 2}, GiveBack{"ByStopping", 3}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(Streaming, EventsEnabledWithAHandleSignalItAndDisableStopsThem) {
  auto event = std::make_shared<winsim::UserEvent>(true, false);
  HANDLE handle = winsim::HandleTable::Instance().Insert(event);
  KSEVENT request{};
  request.Set = kPinTestSet;
  request.Id = 0;
  request.Flags = KSEVENT_TYPE_ENABLE;
  KSEVENTDATA data{};
  data.NotificationType = KSEVENTF_EVENT_HANDLE;
  data.EventHandle.Event = handle;
  EXPECT_EQ(Control(filter, IOCTL_KS_ENABLE_EVENT, &request, sizeof(request), &data, sizeof(data)).status,
            STATUS_SUCCESS);
  KsFilterGenerateEvents(filter, &kPinTestSet, 0, 0, nullptr, nullptr, nullptr);
  EXPECT_EQ(event->header.SignalState, 1);
  event->header.SignalState = 0;
  EXPECT_EQ(Control(filter, IOCTL_KS_DISABLE_EVENT, &data, sizeof(data), nullptr, 0).status, STATUS_SUCCESS);
  KsFilterGenerateEvents(filter, &kPinTestSet, 0, 0, nullptr, nullptr, nullptr);
  EXPECT_EQ(event->header.SignalState, 0);
  EXPECT_EQ(Control(filter, IOCTL_KS_DISABLE_EVENT, &data, sizeof(data), nullptr, 0).status, STATUS_UNSUCCESSFUL);
  winsim::HandleTable::Instance().Close(handle);
}

TEST_F(Streaming, BufferedEventsDeliverTheirDataAndDisableWithoutInputDisablesAll) {
  auto semaphore = std::make_shared<winsim::UserSemaphore>(0, 10);
  HANDLE handle = winsim::HandleTable::Instance().Insert(semaphore);
  KSEVENT request{};
  request.Set = kPinTestSet;
  request.Flags = KSEVENT_TYPE_ENABLEBUFFERED;
  KSEVENTDATA data{};
  data.NotificationType = KSEVENTF_SEMAPHORE_HANDLE;
  data.SemaphoreHandle.Semaphore = handle;
  data.SemaphoreHandle.Adjustment = 1;
  ASSERT_EQ(Control(filter, IOCTL_KS_ENABLE_EVENT, &request, sizeof(request), &data, sizeof(data)).status,
            STATUS_SUCCESS);
  ULONG value = 0x1234;
  KsFilterGenerateEvents(filter, &kPinTestSet, 0, sizeof(value), &value, nullptr, nullptr);
  EXPECT_EQ(semaphore->header.SignalState, 1);
  KSQUERYBUFFER query{};
  query.Event = request;
  query.Event.Flags = KSEVENT_TYPE_QUERYBUFFER;
  query.EventData = &data;
  ULONG delivered = 0;
  Result result = Control(filter, IOCTL_KS_ENABLE_EVENT, &query, sizeof(query), &delivered, sizeof(delivered));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(delivered, 0x1234u);
  EXPECT_EQ(Control(filter, IOCTL_KS_DISABLE_EVENT, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
  KsFilterGenerateEvents(filter, &kPinTestSet, 0, 0, nullptr, nullptr, nullptr);
  EXPECT_EQ(semaphore->header.SignalState, 1);
  winsim::HandleTable::Instance().Close(handle);
}

TEST_F(Streaming, AnEventEnabledOnAPinIsSignalledByThatPinOnly) {
  PKSPIN pin = Running(1);
  auto event = std::make_shared<winsim::UserEvent>(true, false);
  HANDLE handle = winsim::HandleTable::Instance().Insert(event);
  KSEVENT request{};
  request.Set = kPinTestSet;
  request.Flags = KSEVENT_TYPE_ENABLE;
  KSEVENTDATA data{};
  data.NotificationType = KSEVENTF_EVENT_HANDLE;
  data.EventHandle.Event = handle;
  ASSERT_EQ(Control(pin, IOCTL_KS_ENABLE_EVENT, &request, sizeof(request), &data, sizeof(data)).status,
            STATUS_SUCCESS);
  KsFilterGenerateEvents(filter, &kPinTestSet, 0, 0, nullptr, nullptr, nullptr);
  EXPECT_EQ(event->header.SignalState, 0);
  KsPinGenerateEvents(pin, &kPinTestSet, 0, 0, nullptr, nullptr, nullptr);
  EXPECT_EQ(event->header.SignalState, 1);
  winsim::ks::ClosePin(pin);  // takes its events with it
  winsim::HandleTable::Instance().Close(handle);
  EXPECT_EQ(event.use_count(), 1) << "the pin's reference to the event went with it";
}

TEST_F(Streaming, AnEventHandleThatIsNoEventIsRefused) {
  auto semaphore = std::make_shared<winsim::UserSemaphore>(0, 10);
  HANDLE handle = winsim::HandleTable::Instance().Insert(semaphore);
  KSEVENT request{};
  request.Set = kPinTestSet;
  request.Flags = KSEVENT_TYPE_ENABLE;
  KSEVENTDATA data{};
  data.NotificationType = KSEVENTF_EVENT_HANDLE;
  data.EventHandle.Event = handle;
  EXPECT_EQ(Control(filter, IOCTL_KS_ENABLE_EVENT, &request, sizeof(request), &data, sizeof(data)).status,
            STATUS_OBJECT_TYPE_MISMATCH);
  winsim::HandleTable::Instance().Close(handle);
}

#if defined(__SANITIZE_ADDRESS__)
// A pin keeping a frame's data pointer past the IRP's completion reads a
// mapping that died with it.
TEST_F(Streaming, AFramePointerKeptPastCompletionIsCaught) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  static PUCHAR kept;
  Pins().process = [](PKSPIN pin) {
    PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (leading == nullptr) return STATUS_SUCCESS;
    kept = leading->OffsetIn.Data;
    KsStreamPointerUnlock(leading, TRUE);
    return STATUS_SUCCESS;
  };
  PKSPIN pin = Running(0);
  UCHAR data[4] = {9, 9, 9, 9};
  KSSTREAM_HEADER header = Header(data, 4, 4);
  Stream stream;
  Send(&stream, pin, IOCTL_KS_WRITE_STREAM, &header, 1);
  ASSERT_TRUE(stream.Done());
  Free(&stream);
  EXPECT_DEATH({ volatile UCHAR late = kept[0]; (void)late; }, "heap-use-after-free");
}
#endif

}  // namespace
