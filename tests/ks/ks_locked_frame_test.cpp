// A frame under a locked stream pointer stays with the minidriver: a stop,
// reset, cleanup or cancellation while Process holds the leading edge locked
// on another thread gives the frame back only once Process lets go of it,
// whichever way it does.
#include "ks_pin_support.h"
#include "winsim/ks/ks_runtime.h"

using namespace kstest;

namespace {

KEVENT g_locked;  // Process holds the leading edge locked
KEVENT g_letGo;   // the test has done its worst; Process may go on
bool g_eject;     // how Process lets go: consume the frame, or just unlock
bool g_held;      // only the first pass holds on

// Passive-level processing, so the pass can wait with its pointer locked
// while the test thread takes the frame's IRP away.
NTSTATUS HoldLockedUntilLetGo(PKSPIN pin) {
  PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (leading == nullptr || g_held) return STATUS_SUCCESS;
  g_held = true;
  KeSetEvent(&g_locked, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(&g_letGo, Executive, KernelMode, FALSE, nullptr);
  if (g_eject) {
    KsStreamPointerAdvanceOffsetsAndUnlock(leading, 0, leading->Offset->Remaining, FALSE);
  } else {
    KsStreamPointerUnlock(leading, FALSE);
  }
  return STATUS_SUCCESS;
}

enum class TakeAway { kCancel, kReset, kCleanup, kStop };

struct Held {
  const char *name;
  TakeAway how;
  bool eject;
};

class LockedFrame : public PinTest, public ::testing::WithParamInterface<Held> {};

TEST_P(LockedFrame, IsGivenBackOnlyWhenProcessLetsGo) {
  const Held &c = GetParam();
  KeInitializeEvent(&g_locked, NotificationEvent, FALSE);
  KeInitializeEvent(&g_letGo, NotificationEvent, FALSE);
  g_eject = c.eject;
  g_held = false;
  SetPinFlags(1, KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING);
  Pins().process = HoldLockedUntilLetGo;
  PKSPIN pin = nullptr;
  ASSERT_EQ(Create(ConnectRequest(1), &pin).status, STATUS_SUCCESS);
  ASSERT_EQ(SetState(pin, KSSTATE_RUN).status, STATUS_SUCCESS);
  UCHAR data[8] = {};
  KSSTREAM_HEADER header{};
  header.Size = sizeof(header);
  header.Data = data;
  header.FrameExtent = sizeof(data);
  FILE_OBJECT pinFile{};
  Stream stream;
  Send(&stream, pin, IOCTL_KS_READ_STREAM, &header, 1, &pinFile);
  KsPinAttemptProcessing(pin, TRUE);
  KeWaitForSingleObject(&g_locked, Executive, KernelMode, FALSE, nullptr);

  KSRESET reset = KSRESET_BEGIN;
  switch (c.how) {
    case TakeAway::kCancel: IoCancelIrp(stream.irp); break;
    case TakeAway::kReset: Control(pin, IOCTL_KS_RESET_STATE, &reset, sizeof(reset), nullptr, 0); break;
    case TakeAway::kCleanup: winsim::ks::CleanupObject(pin, &pinFile); break;
    case TakeAway::kStop: SetState(pin, KSSTATE_STOP); break;
  }
  EXPECT_FALSE(stream.Done()) << "the frame went while Process held it locked";
  KeSetEvent(&g_letGo, IO_NO_INCREMENT, FALSE);

  LARGE_INTEGER timeout;
  timeout.QuadPart = -10'000'000;  // 1 s of virtual time
  ASSERT_EQ(KeWaitForSingleObject(&stream.done, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS)
      << "the frame stays held after Process let go of it";
  EXPECT_EQ(stream.Status(), STATUS_CANCELLED);
  EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_UNLOCKED), nullptr)
      << "the leading edge is still on the cancelled frame";
  Free(&stream);
}

INSTANTIATE_TEST_SUITE_P(
    Pin, LockedFrame,
    ::testing::Values(Held{"CancelledThenConsumed", TakeAway::kCancel, true},
                      Held{"CancelledThenUnlocked", TakeAway::kCancel, false},
                      Held{"ResetThenConsumed", TakeAway::kReset, true},
                      Held{"ResetThenUnlocked", TakeAway::kReset, false},
                      Held{"CleanedUpThenConsumed", TakeAway::kCleanup, true},
                      Held{"CleanedUpThenUnlocked", TakeAway::kCleanup, false},
                      Held{"StoppedThenConsumed", TakeAway::kStop, true},
                      Held{"StoppedThenUnlocked", TakeAway::kStop, false}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
