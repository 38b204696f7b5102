// Changing UrbSize while pins run: the streams restart with the new size and
// the audio goes on, the pins never keep regions of the old buffer, a pin
// leaving RUN meanwhile waits for the change, and the caller learns what
// came of it.
#include <atomic>
#include <memory>

#include "kerneldriver/device/settings.h"
#include "stream_harness.h"

namespace sttest {
namespace {

using winsim::ThreadKind;
using winsim::devices::FaultKnobs;
using winsim::usb::VTime;

constexpr VTime kMs = 10000;

// What was in flight at the restart is lost; from there on the ramp must
// run without a gap, to the device and back.
TEST_F(StreamTest, ChangingUrbSizeWhileRunningRestartsBothStreamsAndTheRampGoesOnWithoutError) {
  Plug("Larch");
  WatchPlayedOutput();
  auto [render, capture] = RunBoth();
  machine.RunFor(300 * kMs);
  EXPECT_GE(Played().RampFrames(), 10000u);
  EXPECT_EQ(UsbAudioDeviceSetUrbSize(&Ctx(), 5), STATUS_SUCCESS);
  EXPECT_TRUE(LogHas(machine, "event 1 raised"));
  EXPECT_EQ(ReadDriverDword(QAV_VALUE_URB_SIZE), 5u);
  WatchPlayedOutput();
  capture.ResetChecker();
  machine.RunFor(500 * kMs);
  for (UsbAudioStream *stream : {&Capture(), &Render()}) {
    EXPECT_TRUE(Running(stream));
    EXPECT_EQ(stream->framesPerUrb, 5u);
    EXPECT_GT(stream->timing.Count, 90u);
  }
  const RampChecker played = Played();
  EXPECT_EQ(played.Errors(), 0u) << "first at " << played.FirstErrorAt() << ": " << played.FirstErrorValue();
  EXPECT_GT(played.RampFrames(), 20000u);
  const RampChecker captured = capture.Checker();
  EXPECT_EQ(captured.Errors(), 0u) << "first at " << captured.FirstErrorAt() << ": " << captured.FirstErrorValue();
  EXPECT_GT(captured.RampFrames(), 15000u);
}

// Deferred pins keep the regions of the last completion until their client
// acts. The change frees the transfer buffer and allocates one of the new
// size under them; the pins must have been told to drop their regions
// first, or the client's next write (render) or read (capture) touches
// freed memory.
TEST_F(StreamTest, PinsHoldNoRegionOfTheOldBufferAfterAnUrbSizeChange) {
  Plug("Larch");
  auto [render, capture] = RunBoth();
  render.SetDeferred(true);
  capture.SetDeferred(true);
  machine.RunFor(100 * kMs);
  ASSERT_EQ(UsbAudioDeviceSetUrbSize(&Ctx(), 5), STATUS_SUCCESS);
  render.ProcessNow();
  capture.ProcessNow();
  EXPECT_EQ(render.StaleRegions(), 0u);
  EXPECT_EQ(capture.StaleRegions(), 0u);
  const uint64_t moved = render.FramesMoved() + capture.FramesMoved();
  machine.RunFor(50 * kMs);
  render.ProcessNow();
  capture.ProcessNow();
  EXPECT_GT(render.FramesMoved() + capture.FramesMoved(), moved) << "regions of the new buffer arrive";
  EXPECT_EQ(render.StaleRegions() + capture.StaleRegions(), 0u);
}

// Another thread changes UrbSize while the last pins leave RUN. The device
// leaves the change's first selection of a streaming setting unanswered
// (the request times out after a second and is sent again), so the change
// is still preparing the streams when the pins leave 100 ms in. Whichever
// gets the stream state lock first, the other waits for it: the pins return
// only after the change, and in the end the streams are stopped, their
// transfers freed (each once) and the interfaces idle, with the new size in
// effect. Without the lock the change would go on to start streams whose
// pins have left.
TEST_F(StreamTest, PinsLeavingRunDuringAnUrbSizeChangeWaitForIt) {
  for (VTime delay : {VTime{0}, 5 * kMs, 100 * kMs}) {
    SCOPED_TRACE(delay / kMs);
    Plug("Larch");
    auto [render, capture] = RunBoth();
    machine.RunFor(100 * kMs);
    device->EditFaults([](FaultKnobs &knobs) {
      knobs.neverFinishWhen = [answered = std::make_shared<bool>(false)](const winsim::usb::SetupPacket &setup) {
        if (*answered || setup.bmRequestType != 0x01 || setup.bRequest != 0x0B || setup.wValue == 0) return false;
        *answered = true;
        return true;
      };
    });
    UsbAudioDevice *context = &Ctx();
    std::atomic<NTSTATUS> changed{STATUS_PENDING};
    auto changer = machine.Threads().Spawn("UrbSize change", ThreadKind::SystemWorker, winsim::kSystemProcessId,
                                           [&] { changed = UsbAudioDeviceSetUrbSize(context, 5); });
    if (delay > 0) machine.RunFor(delay);
    Leave(render);
    Leave(capture);
    if (delay > 0) {
      EXPECT_NE(changed.load(), STATUS_PENDING) << "the pins left in the middle of the change";
    }
    KeWaitForSingleObject(changer->ExitObject(), Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(changed.load(), STATUS_SUCCESS);
    machine.RunFor(50 * kMs);
    for (UsbAudioStream *stream : {context->captureStream, context->renderStream}) {
      EXPECT_FALSE(Running(stream));
      EXPECT_EQ(stream->outstanding, 0);
      EXPECT_FALSE(UsbAudioStreamHasPreparedTransfers(stream));
      EXPECT_EQ(stream->framesPerUrb, 5u);
      EXPECT_EQ(device->AlternateSetting(static_cast<uint8_t>(stream->usbInterface->interfaceNumber)), 0);
    }
    const uint64_t moved = render.FramesMoved() + capture.FramesMoved();
    machine.RunFor(50 * kMs);
    EXPECT_EQ(render.FramesMoved() + capture.FramesMoved(), moved) << "no region reaches a pin that left";
    Unplug();
  }
}

// The caller learns the outcome: a size the streams cannot take changes
// nothing and is refused; a size that was applied but with which a stream
// could not start again (the stack refusing its first URB) is reported as
// that failure, while it stays in effect and stored.
TEST_F(StreamTest, AnUrbSizeChangeReportsWhatCameOfIt) {
  struct Case {
    const char *what;
    ULONG urbSize;
    bool refuseRestart;
    bool succeeds;
    ULONG framesAfter;
    bool captureRuns;
  };
  for (const Case &c : {Case{"a size no URB can have", 0, false, false, 3, true},
                        Case{"a size beyond the stack's packets per URB", 129, false, false, 3, true},
                        Case{"a restart the stack refuses", 5, true, false, 5, false},
                        Case{"a size that works", 5, false, true, 5, true}}) {
    SCOPED_TRACE(c.what);
    Plug("Larch");
    auto [render, capture] = RunBoth();
    machine.RunFor(100 * kMs);
    if (c.refuseRestart) machine.Bus(1)->Controller().RefuseIsochronous(1, 0x81);
    const NTSTATUS status = UsbAudioDeviceSetUrbSize(&Ctx(), c.urbSize);
    EXPECT_EQ(NT_SUCCESS(status), c.succeeds) << std::hex << status;
    EXPECT_EQ(Ctx().urbSize, c.framesAfter);
    EXPECT_EQ(Capture().framesPerUrb, c.framesAfter);
    EXPECT_EQ(ReadDriverDword(QAV_VALUE_URB_SIZE).value_or(3), c.framesAfter);
    machine.RunFor(50 * kMs);
    EXPECT_EQ(Running(&Capture()), c.captureRuns);
    EXPECT_TRUE(Running(&Render()));
    Leave(render);
    Leave(capture);
    Unplug();
  }
}

}  // namespace
}  // namespace sttest
