// The streaming engine on a plugged interface: what the device receives and
// sends back while test pins run, and how the streams survive failures,
// removal and a change of UrbSize.
#include <winsim/kernel/pool.h>

#include <random>

#include "stream_harness.h"
#include "kerneldriver/device/settings.h"
#include "kerneldriver/stream/stream_sync.h"

namespace sttest {
namespace {

using winsim::devices::FaultKnobs;
using winsim::usb::VTime;

constexpr VTime kMs = 10000;

TEST_F(StreamTest, ARampPlayedAtEveryUrbSizeReachesTheDeviceAndComesBackUnaltered) {
  for (ULONG urbSize : {1u, 3u, 5u, 10u}) {
    SCOPED_TRACE(urbSize);
    Plug("Larch");
    UsbAudioDeviceSetUrbSize(&Ctx(), urbSize);
    WatchPlayedOutput();
    auto [render, capture] = RunBoth();
    machine.RunFor(2000 * kMs);
    const auto before = device->Render();
    machine.RunFor(1000 * kMs);
    const auto after = device->Render();
    Leave(render);
    Leave(capture);
    for (NTSTATUS status : startStatuses) EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Capture().framesPerUrb, urbSize);
    RampChecker played = Played();
    EXPECT_EQ(played.Errors(), 0u) << "first at " << played.FirstErrorAt() << " (" << played.LeadingSilence()
                                   << " silent, ramp to " << played.NextFrame() << "): " << played.FirstErrorValue();
    EXPECT_GT(played.RampFrames(), 2u * 48000u);
    EXPECT_EQ(played.FirstRampFrame(), 1u) << "the first rendered frame was lost";
    RampChecker captured = capture.Checker();
    EXPECT_EQ(captured.Errors(), 0u) << "first at " << captured.FirstErrorAt() << " (" << captured.LeadingSilence()
                                     << " silent, ramp to " << captured.NextFrame() << "): " << captured.FirstErrorValue();
    EXPECT_GT(captured.RampFrames(), 2u * 48000u);
    EXPECT_EQ(captured.FirstRampFrame(), 1u);
    EXPECT_EQ(after.underrunEvents, before.underrunEvents);
    EXPECT_EQ(after.overrunEvents, before.overrunEvents);
    EXPECT_EQ(after.packetSizeViolations, 0u);
    startStatuses.clear();
    device->SetPlayedSink(nullptr);
    Unplug();
  }
}

// A stopped render stream's URBs still in flight go out on the bus as they
// drain. Those its last completions had not filled yet must carry silence,
// not the audio of their previous round: on a render-only interface the
// stop comes right after the pin leaves, with up to ten URBs in flight.
TEST_F(StreamTest, AStoppedRenderStreamDrainsSilenceNotEarlierAudio) {
  for (ULONG urbSize : {1u, 3u, 5u, 10u}) {
    SCOPED_TRACE(urbSize);
    Plug("Maple");
    UsbAudioDeviceSetUrbSize(&Ctx(), urbSize);
    WatchPlayedOutput();
    TestPin &render = RenderPin();
    Run(render);
    machine.RunFor(500 * kMs);
    Leave(render);
    machine.RunFor(200 * kMs);
    const RampChecker played = Played();
    EXPECT_EQ(played.Errors(), 0u) << "sample " << played.FirstErrorValue() << " played after ramp frame "
                                   << played.NextFrame() - 1;
    EXPECT_GT(played.RampFrames(), 20000u);
    device->SetPlayedSink(nullptr);
    Unplug();
  }
}

// The exactness check is only worth something if it can fail: with the
// device's output turned down 6 dB (as its front-panel knob would) no played
// or captured frame is the ramp any more, and a channel left at unity stays
// exact. The ramp sits in the converter's 24 bits, so unity passes bit for bit.
TEST_F(StreamTest, AtMinus6dBThePlayedAndLoopedBackRampIsNoLongerExact) {
  Plug("Larch");
  const uint8_t unit = device->PathFeatureUnit(winsim::devices::StreamDirection::Render);
  ASSERT_NE(unit, 0);
  ASSERT_TRUE(device->SetFeatureVolume(unit, 0, -6 * 256));
  WatchPlayedOutput();
  auto [render, capture] = RunBoth();
  machine.RunFor(500 * kMs);
  Leave(render);
  Leave(capture);
  // Every frame from the first non-silent one on is counted, and wrong.
  const RampChecker played = Played();
  EXPECT_GT(played.RampFrames(), 20000u);
  EXPECT_EQ(played.Errors(), played.RampFrames());
  EXPECT_EQ(played.Foreign(), played.RampFrames()) << "scaled samples name no ramp frame";
  const RampChecker captured = capture.Checker();
  EXPECT_GT(captured.RampFrames(), 20000u);
  EXPECT_EQ(captured.Errors(), captured.RampFrames());
  EXPECT_GT(device->Render().playedFrames, 20000u) << "the stream ran";
}

TEST_F(StreamTest, NothingIsAllocatedBetweenStartAndStop) {
  Plug("Larch");
  auto [render, capture] = RunBoth();
  machine.RunFor(100 * kMs);
  const uint64_t allocations = winsim::Pool::Instance().AllocationCount();
  machine.RunFor(5000 * kMs);
  EXPECT_EQ(winsim::Pool::Instance().AllocationCount(), allocations);
  EXPECT_GT(Render().timing.Count, 1600u);
}

TEST_F(StreamTest, WithOnlyACapturePinRunningTheRenderStreamSendsSilence) {
  Plug("Larch");
  WatchPlayedOutput();
  TestPin &capture = CapturePin();
  Run(capture);
  machine.RunFor(500 * kMs);
  const auto before = device->Render();
  machine.RunFor(1000 * kMs);
  const auto after = device->Render();
  EXPECT_TRUE(Running(&Render()));
  EXPECT_GE(after.framesReceived - before.framesReceived, 47900u);
  EXPECT_EQ(after.underrunEvents, before.underrunEvents);
  EXPECT_EQ(Played().RampFrames(), 0u);
  EXPECT_GT(Played().LeadingSilence(), 48000u);
  EXPECT_GT(capture.FramesMoved(), 48000u);
}

TEST_F(StreamTest, AFailedDataUrbStopsTheStreamThroughRecoveryWithoutLeakOrHang) {
  Plug("Larch");
  auto [render, capture] = RunBoth();
  machine.RunFor(200 * kMs);
  // An OUT packet the device loses looks sent to the host; a URB fails when
  // the controller misses every one of its service intervals.
  machine.Bus(1)->Controller().MissServiceIntervals(8 * 40, 0x01);
  machine.RunFor(200 * kMs);
  EXPECT_FALSE(Running(&Render()));
  EXPECT_EQ(Render().outstanding, 0);
  EXPECT_EQ(Render().recoveryQueued, 0);
  EXPECT_TRUE(LogHas(machine, "data URB failed; pipe aborted 00000000, reset 00000000"));
  // The capture stream goes on by itself.
  EXPECT_TRUE(Running(&Capture()));
  const uint64_t captured = capture.FramesMoved();
  machine.RunFor(100 * kMs);
  EXPECT_GT(capture.FramesMoved(), captured + 4000);
  Leave(render);
  Leave(capture);
  EXPECT_EQ(UsbAudioActiveStreamCount(), 0);
  Unplug();  // the driver unloads here: a leak would stop the test
}

TEST_F(StreamTest, SurpriseRemovalWhileStreamingEndsBothStreamsQuietly) {
  Plug("Larch");
  PDEVICE_OBJECT heldPdo = pdo;
  auto [render, capture] = RunBoth();
  machine.RunFor(300 * kMs);
  machine.Pnp().HandleOpened(heldPdo);
  UsbAudioDevice *context = Context();
  Unplug(/*surprise=*/true);
  machine.RunFor(50 * kMs);
  EXPECT_FALSE(Running(context->renderStream));
  EXPECT_FALSE(Running(context->captureStream));
  EXPECT_EQ(context->renderStream->recoveryQueued, 0);
  EXPECT_EQ(UsbAudioActiveStreamCount(), 0);
  // The pins leave RUN only now, as clients close their handles.
  pdo = heldPdo;
  Leave(render);
  Leave(capture);
  pdo = nullptr;
  machine.Pnp().HandleClosed(heldPdo);
  machine.Pnp().WaitIdle();
  EXPECT_EQ(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr);
}

TEST_F(StreamTest, StreamsOfOneDeviceShareTheStartFrameAndAnotherBusGetsItsOwn) {
  Plug("Larch");
  auto [render, capture] = RunBoth();
  const ULONG n = Render().framesPerUrb;
  EXPECT_EQ(Capture().nextStartFrame, Render().nextStartFrame);
  const ULONG busOneStart = Render().nextStartFrame - kIsoSlots * n;
  EXPECT_EQ(busOneStart, machine.Bus(1)->Controller().CurrentFrame() + 10);

  const auto maple = dstest::Build(dstest::Model("Maple"));
  auto other = std::make_shared<winsim::devices::AudioDevice>(maple);
  auto otherHandle = machine.PlugDevice(other, 2);
  machine.Pnp().WaitIdle();
  PDEVICE_OBJECT otherPdo = nullptr;
  for (const auto &info : machine.UsbDevices()) {
    if (info.handle == otherHandle) otherPdo = info.pdo;
  }
  UsbAudioDevice *otherContext = ContextOf(otherPdo);
  ASSERT_NE(otherContext, nullptr);
  UsbAudioStream *otherRender = otherContext->renderStream;
  ASSERT_EQ(UsbAudioStreamPrepareTransfers(otherRender), STATUS_SUCCESS);
  ASSERT_EQ(UsbAudioStreamStart(otherRender), STATUS_SUCCESS);
  const ULONG busTwoStart = otherRender->nextStartFrame - kIsoSlots * otherRender->framesPerUrb;
  EXPECT_EQ(busTwoStart, machine.Bus(2)->Controller().CurrentFrame() + 10);
  EXPECT_NE(busTwoStart, busOneStart);
  machine.RunFor(100 * kMs);
  EXPECT_TRUE(Running(otherRender));
  EXPECT_GT(other->Render().framesReceived, 3000u);
  UsbAudioStreamStop(otherRender);
  UsbAudioStreamFreeTransfers(otherRender);
  machine.UnplugDevice(otherHandle, false);
  machine.Pnp().WaitIdle();
}

// The device's value is its clock rate in 16.16 samples per microframe (at
// 44.1 kHz: 361267 nominal, 361339 at +200 ppm, 361195 at -200 ppm), as the
// device measures it: each value a few tens of units off, their mean exact.
// It is read all the time, so a clock that changes while streaming is
// followed.
TEST_F(StreamTest, ExplicitFeedbackKeepsTheRenderRateOnTheDevicesClock) {
  struct Case {
    int32_t startDrift, laterDrift;
    ULONG expectedAtStart, expectedLater;
  };
  for (const Case &c : {Case{0, 200, 361267, 361339}, Case{200, -200, 361339, 361195}}) {
    SCOPED_TRACE(c.startDrift);
    machine.Bus(1)->Controller().SetSofOffsetPpm(0);  // the values are the clock's own, SOF on the system clock
    Plug("Maple");
    device->SetDriftPpm(c.startDrift);
    ASSERT_EQ(Ctx().sampleRate, 44100u);
    TestPin &render = RenderPin();
    Run(render);
    machine.RunFor(20 * kMs);
    EXPECT_NE(Render().feedbackPipe, nullptr);
    // Means over 400 reads: one over 100 moved by 9 units when the device's
    // start (and with it the phase of its measuring windows) moved by a few
    // milliseconds.
    EXPECT_NEAR(MeanRenderRate(400), c.expectedAtStart, 8.0);
    device->SetDriftPpm(c.laterDrift);
    machine.RunFor(200 * kMs);
    EXPECT_NEAR(MeanRenderRate(400), c.expectedLater, 8.0);
    Leave(render);
    Unplug();
  }
}

TEST_F(StreamTest, PowerDownPausesRunningStreamsAndPowerUpStartsThemAgain) {
  Plug("Larch");
  auto [render, capture] = RunBoth();
  machine.RunFor(100 * kMs);
  ASSERT_TRUE(machine.Suspend());
  for (UsbAudioStream *stream : {&Capture(), &Render()}) {
    EXPECT_FALSE(Running(stream));
    EXPECT_TRUE(stream->paused);
    EXPECT_EQ(stream->outstanding, 0);
  }
  const uint64_t moved = render.FramesMoved();
  machine.Resume();
  machine.RunFor(100 * kMs);
  for (UsbAudioStream *stream : {&Capture(), &Render()}) {
    EXPECT_TRUE(Running(stream));
    EXPECT_FALSE(stream->paused);
  }
  EXPECT_GT(render.FramesMoved(), moved + 4000);
}

TEST_F(StreamTest, ASlowMachineRaisesTheMinimumUrbSizeAtStart) {
  machine.Bus(1)->Controller().SetCompletionLatency([](std::mt19937 &) { return VTime{32000}; });
  Plug("Larch");
  EXPECT_EQ(Ctx().minUrbSize, 4u);
  EXPECT_EQ(Ctx().urbSize, 4u);
  EXPECT_EQ(ReadDriverDword(QAV_VALUE_URB_SIZE), 4u);
  EXPECT_EQ(device->AlternateSetting(static_cast<uint8_t>(Render().usbInterface->interfaceNumber)), 0)
      << "the probe leaves the interface idle";
}

// A stream serves four pins: each attached pin receives every region, a
// fifth is refused until one leaves, and a pin that left receives nothing.
TEST_F(StreamTest, AStreamServesFourPinsAndTakesAFifthOnlyWhenOneLeft) {
  Plug("Larch");
  std::vector<TestPin *> pins;
  for (int i = 0; i < 5; ++i) pins.push_back(&RenderPin());
  TestPin &capture = CapturePin();
  Run(capture);
  for (int i = 0; i < 4; ++i) Run(*pins[i]);
  EXPECT_EQ(UsbAudioStreamAttachPin(&Render(), pins[4]), STATUS_INSUFFICIENT_RESOURCES);
  auto kicks = [&] {
    std::vector<uint64_t> counts;
    for (TestPin *pin : pins) counts.push_back(pin->Kicks());
    return counts;
  };
  std::vector<uint64_t> before = kicks();
  machine.RunFor(30 * kMs);
  std::vector<uint64_t> after = kicks();
  for (int i = 0; i < 4; ++i) EXPECT_GT(after[i], before[i]) << "pin " << i;
  EXPECT_EQ(after[4], 0u);
  EXPECT_EQ(after[0] - before[0], after[3] - before[3]) << "every pin gets every region";

  Leave(*pins[1]);
  Run(*pins[4]);
  before = kicks();
  machine.RunFor(30 * kMs);
  after = kicks();
  EXPECT_EQ(after[1], before[1]) << "a pin that left";
  EXPECT_GT(after[4], before[4]);
  EXPECT_EQ(after[4] - before[4], after[0] - before[0]);
  UsbAudioStreamDetachPin(&Render(), pins[1]);  // not attached: nothing happens
  before = kicks();
  machine.RunFor(30 * kMs);
  after = kicks();
  for (int i : {0, 2, 3, 4}) EXPECT_GT(after[i], before[i]) << "pin " << i;
}

}  // namespace
}  // namespace sttest
