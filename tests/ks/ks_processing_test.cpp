// When the pin's Process dispatch runs: on arrival unless the pin initiates
// no processing, at DISPATCH_LEVEL for such pins, from a worker when asked
// asynchronously; and the stream pointer and mutex misuse winsim stops.
#include "ks_pin_support.h"
#include "winsim/ks/ks_filter.h"
#include "winsim/ks/ks_runtime.h"
#include "winsim/user/kernel32_objects.h"

using namespace kstest;

namespace {

KSSTREAM_HEADER Header(void *data, ULONG extent) {
  KSSTREAM_HEADER header{};
  header.Size = sizeof(header);
  header.Data = data;
  header.FrameExtent = extent;
  return header;
}

NTSTATUS EjectOne(PKSPIN pin) {
  PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (leading != nullptr) KsStreamPointerUnlock(leading, TRUE);
  return STATUS_SUCCESS;
}

struct Flags {
  const char *name;
  ULONG flags;
  bool asynchronous;  // how the test asks after the arrival
  std::vector<std::string> onArrival;
  std::vector<std::string> afterAttempt;
};

class ProcessingFlags : public PinTest, public ::testing::WithParamInterface<Flags> {};

TEST_P(ProcessingFlags, DecideWhenAndWhereProcessRuns) {
  const Flags &c = GetParam();
  SetPinFlags(1, c.flags);
  Pins().process = EjectOne;
  PKSPIN pin = nullptr;
  ASSERT_EQ(Create(ConnectRequest(1), &pin).status, STATUS_SUCCESS);
  SetState(pin, KSSTATE_RUN);
  PinLog().clear();
  UCHAR data[4];
  KSSTREAM_HEADER header = Header(data, 4);
  Stream stream;
  Send(&stream, pin, IOCTL_KS_READ_STREAM, &header, 1);
  EXPECT_EQ(PinLog(), c.onArrival);
  PinLog().clear();
  KsPinAttemptProcessing(pin, c.asynchronous ? TRUE : FALSE);
  KeWaitForSingleObject(&stream.done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(PinLog(), c.afterAttempt);
  Free(&stream);
}

INSTANTIATE_TEST_SUITE_P(
    Pin, ProcessingFlags,
    ::testing::Values(
        Flags{"ArrivalProcessesAtPassive", 0, false, {"Process"}, {}},
        Flags{"DispatchLevelProcessingRaisesIrql", KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING, false,
              {"Process at dispatch"}, {}},
        Flags{"DoNotInitiateWaitsForTheMinidriversAttempt", KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING, false, {},
              {"Process"}},
        Flags{"AnAsynchronousAttemptRunsFromAWorker",
              KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING | KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING, true, {},
              {"Process at dispatch"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(PinTest, CancellingAFrameHeldByACloneCallsItsCancelCallback) {
  static PKSSTREAM_POINTER clone;
  static int cancelled;
  clone = nullptr;
  cancelled = 0;
  Pins().process = [](PKSPIN pin) {
    PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (leading == nullptr) return STATUS_SUCCESS;
    KsStreamPointerClone(
        leading,
        [](PKSSTREAM_POINTER pointer) {
          ++cancelled;
          KsStreamPointerDelete(pointer);
        },
        0, &clone);
    KsStreamPointerUnlock(leading, TRUE);
    return STATUS_SUCCESS;
  };
  PKSPIN pin = nullptr;
  ASSERT_EQ(Create(ConnectRequest(1), &pin).status, STATUS_SUCCESS);
  SetState(pin, KSSTATE_RUN);
  UCHAR data[4];
  KSSTREAM_HEADER header = Header(data, 4);
  Stream stream;
  Send(&stream, pin, IOCTL_KS_READ_STREAM, &header, 1);
  ASSERT_FALSE(stream.Done());
  IoCancelIrp(stream.irp);
  EXPECT_EQ(cancelled, 1);
  ASSERT_TRUE(stream.Done());
  EXPECT_EQ(stream.Status(), STATUS_CANCELLED);
  Free(&stream);
}

TEST_F(PinTest, CleanupDisablesTheEventsOfItsFileObjectOnly) {
  auto event = std::make_shared<winsim::UserEvent>(true, false);
  HANDLE handle = winsim::HandleTable::Instance().Insert(event);
  KSEVENT request{};
  request.Set = kPinTestSet;
  request.Flags = KSEVENT_TYPE_ENABLE;
  KSEVENTDATA mine{}, theirs{};
  mine.NotificationType = theirs.NotificationType = KSEVENTF_EVENT_HANDLE;
  mine.EventHandle.Event = theirs.EventHandle.Event = handle;
  FILE_OBJECT other{};
  Control(filter, IOCTL_KS_ENABLE_EVENT, &request, sizeof(request), &mine, sizeof(mine));
  Control(filter, IOCTL_KS_ENABLE_EVENT, &request, sizeof(request), &theirs, sizeof(theirs), &other);
  winsim::ks::CleanupObject(filter, &filterFile);
  EXPECT_EQ(Control(filter, IOCTL_KS_DISABLE_EVENT, &mine, sizeof(mine), nullptr, 0).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Control(filter, IOCTL_KS_DISABLE_EVENT, &theirs, sizeof(theirs), nullptr, 0, &other).status,
            STATUS_SUCCESS);
  winsim::HandleTable::Instance().Close(handle);
}

// Misuse the machine stops: each routine is a minidriver's Process getting
// one thing wrong.
struct Misuse {
  const char *name;
  NTSTATUS (*process)(PKSPIN);
  const char *message;
};

struct FilterMisuse {
  const char *name;
  void (*routine)(PKSFILTER);
  const char *message;
};

class FilterMisuseDeathTest : public ::testing::TestWithParam<FilterMisuse> {};

TEST_P(FilterMisuseDeathTest, StopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const FilterMisuse &c = GetParam();
  EXPECT_DEATH(
      {
        winsim::Machine machine;
        TestBus bus(machine);
        PKSFILTERFACTORY factory = StartWithFactory(machine, bus);
        PKSFILTER filter = nullptr;
        winsim::ks::OpenFilter(factory, &filter);
        c.routine(filter);
      },
      c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Filter, FilterMisuseDeathTest,
    ::testing::Values(FilterMisuse{"AStreamPointerThatIsNone",
                                   [](PKSFILTER) {
                                     KSSTREAM_POINTER bogus{};
                                     KsStreamPointerUnlock(&bogus, FALSE);
                                   },
                                   "no live stream pointer"},
                      FilterMisuse{"TheControlMutexTakenTwice",
                                   [](PKSFILTER filter) {
                                     KsFilterAcquireControl(filter);
                                     KsFilterAcquireControl(filter);
                                   },
                                   "not recursive"},
                      FilterMisuse{"TheProcessMutexReleasedByOneThatDoesNotHoldIt",
                                   [](PKSFILTER filter) { KsFilterReleaseProcessingMutex(filter); },
                                   "not held by this thread"}),
    [](const auto &info) { return std::string(info.param.name); });

class PinMisuse : public PinTest, public ::testing::WithParamInterface<Misuse> {};

TEST_P(PinMisuse, StopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Pins().process = GetParam().process;
  PKSPIN pin = nullptr;
  ASSERT_EQ(Create(ConnectRequest(1), &pin).status, STATUS_SUCCESS);
  SetState(pin, KSSTATE_RUN);
  UCHAR data[4];
  KSSTREAM_HEADER header = Header(data, 4);
  EXPECT_DEATH(
      {
        Stream stream;
        Send(&stream, pin, IOCTL_KS_READ_STREAM, &header, 1);
      },
      GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Pin, PinMisuse,
    ::testing::Values(Misuse{"UnlockingAPointerThatIsNotLocked",
                             [](PKSPIN pin) {
                               PKSSTREAM_POINTER leading =
                                   KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_UNLOCKED);
                               KsStreamPointerUnlock(leading, FALSE);
                               return STATUS_SUCCESS;
                             },
                             "which is not locked"},
                      Misuse{"AdvancingPastTheFrame",
                             [](PKSPIN pin) {
                               PKSSTREAM_POINTER leading =
                                   KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
                               KsStreamPointerAdvanceOffsets(leading, 0, 5, FALSE);
                               return STATUS_SUCCESS;
                             },
                             "5 bytes with 4 remaining"},
                      Misuse{"DeletingTheLeadingEdge",
                             [](PKSPIN pin) {
                               KsStreamPointerDelete(
                                   KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_UNLOCKED));
                               return STATUS_SUCCESS;
                             },
                             "only clones are deleted"}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
