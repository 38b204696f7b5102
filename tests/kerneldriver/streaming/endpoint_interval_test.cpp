// Endpoints served less often than every microframe: an explicit-feedback
// endpoint of any interval keeps steering the render rate, a feedback read
// that fails is read again without flooding the stack, and a data endpoint
// the streams cannot serve is refused when the device starts.
#include <cstdio>

#include "../unit/config_builder.h"
#include "stream_harness.h"

namespace sttest {
namespace {

using winsim::devices::FaultKnobs;
using winsim::usb::VTime;

constexpr VTime kMs = 10000;

// Maple and its variants at 44.1 kHz with the device clock 500 ppm fast, for
// 30 s each (URBs of 10 frames keep it quick; the figures program's rate
// table runs them for an hour): the nominal rate alone would drain the
// 384-frame FIFO into underruns within about 9 s. Feedback comes every 1, 4
// or 8 microframes; the stack takes a read only as whole frames of the
// endpoint's packets. The device reports its measured rate (no FIFO term), so
// the FIFO's mean stays where playback started it.
TEST_F(StreamTest, ExplicitFeedbackKeepsTheDeviceFifoCentredAtEveryFeedbackInterval) {
  for (const char *model : {"Aspen", "Elm", "Maple"}) {
    SCOPED_TRACE(model);
    machine.Bus(1)->Controller().SetSofOffsetPpm(0);  // the values are the clock's own, SOF on the system clock
    Plug(model);
    installed = false;  // the next model has other hardware ids
    device->SetDriftPpm(500);
    ASSERT_EQ(UsbAudioDeviceSetUrbSize(&Ctx(), 10), STATUS_SUCCESS);
    Run(RenderPin());
    ASSERT_NE(Render().feedbackPipe, nullptr);
    machine.RunFor(30000 * kMs);
    const auto stats = device->Render();
    std::printf("%s: FIFO mean %.1f, start %.1f, levels %u..%u\n", model, stats.MeanLevel(), stats.StartLevel(),
                stats.minLevel, stats.maxLevel);
    // Aspen measures over one microframe (a tick is 256 units), Elm over
    // four: only the mean of a read's values follows the clock closely
    // enough (the newest alone left the FIFO's mean 8 to 11 frames low).
    ExpectRateMatched(stats);
    EXPECT_EQ(stats.packetSizeViolations, 0u);
    EXPECT_NEAR(MeanRenderRate(200), 361267 * 1.0005, 8.0);
    Unplug();
  }
}

// What the driver sees of each feedback mode, on Maple at 44.1 kHz with its
// clock 500 ppm fast (16.16: 361448 drifted, 361267 nominal) for 5 s. A
// device that reports zero until its DAC starts is paced at the nominal rate
// until then; one that reports its nominal rate whatever its clock does
// leaves the driver nothing to follow, and its FIFO drains.
TEST_F(StreamTest, EachFeedbackModeGivesTheDriverWhatTheDeviceReports) {
  struct Case {
    winsim::devices::FeedbackMode mode;
    double rate;
    bool matched;
  };
  using winsim::devices::FeedbackMode;
  for (const Case &c : {Case{FeedbackMode::MeasuredRate, 361448, true}, Case{FeedbackMode::FifoServo, 361448, true},
                        Case{FeedbackMode::ZeroUntilPlaying, 361448, true},
                        Case{FeedbackMode::NominalRounded, 361267, false}}) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    winsim::devices::DeviceModel model = *winsim::devices::FindModel("Maple");
    model.behaviour.clockDriftPpm = 500;
    model.behaviour.feedbackMode = c.mode;
    // Half the FIFO before the DAC starts: room to show the drain as a level, not as underruns.
    model.behaviour.fifoStartMicroseconds = 0;
    machine.Bus(1)->Controller().SetSofOffsetPpm(0);  // the expected values are the clock's own
    Plug(winsim::devices::BuildDevice(model).definition);
    Run(RenderPin());
    machine.RunFor(5000 * kMs);
    const auto stats = device->Render();
    // Over 400 ms: a mean of 100 reads moved by up to 28 units when the
    // device's start (and with it the phase of its measuring windows)
    // moved by a few milliseconds.
    EXPECT_NEAR(MeanRenderRate(400), c.rate, 16.0);
    if (c.matched) {
      ExpectRateMatched(stats);
    } else {
      EXPECT_LT(stats.MeanLevel() + 40, stats.StartLevel()) << "the FIFO drains at 22 frames a second";
    }
    Unplug();
  }
}

// A read that fails (its packets lost on the bus, or the stack refusing it
// at once) is read again with the next data URB: never more often, and as
// soon as the fault ends the device's value steers the rate again.
TEST_F(StreamTest, AFailedFeedbackReadIsReadAgainOncePerDataUrbUntilItSucceeds) {
  struct Case {
    const char *fault;
    bool refused;
  };
  for (const Case &c : {Case{"lost on the bus", false}, Case{"refused at once", true}}) {
    SCOPED_TRACE(c.fault);
    Plug("Aspen");
    Run(RenderPin());
    machine.RunFor(100 * kMs);
    auto &controller = machine.Bus(1)->Controller();
    if (c.refused) {
      controller.RefuseIsochronous(UINT32_MAX, 0x81);
    } else {
      device->EditFaults([](FaultKnobs &knobs) {
        knobs.dropIsoEvery = 1;
        knobs.dropEndpoint = 0x81;
      });
    }
    const uint64_t urbsBefore = Render().timing.Count;
    machine.RunFor(1000 * kMs);
    const uint64_t dataUrbs = Render().timing.Count - urbsBefore;
    const uint64_t failedReads = c.refused ? controller.RefusedIsochronous() : device->Faults().isoDropped / 8;
    // A read lost on the bus takes a few frames to fail, so some data URBs
    // find none to send again.
    EXPECT_GE(failedReads, dataUrbs / 3);
    EXPECT_LE(failedReads, dataUrbs + 1);
    // The clock changes while no value comes through; once reads succeed again the rate follows.
    device->SetDriftPpm(200);
    if (c.refused) {
      controller.RefuseIsochronous(0);
    } else {
      device->EditFaults([](FaultKnobs &knobs) { knobs.dropIsoEvery = 0; });
    }
    // Within a fraction of the 72 units the clock moved by (the values
    // are measured, each a few tens of units off).
    machine.RunFor(200 * kMs);
    EXPECT_NEAR(MeanRenderRate(200), 361339, 24.0);
    EXPECT_TRUE(LogHas(machine, "feedback read again after"));
    Unplug();
  }
}

// Yew's render data endpoint is served once per frame (bInterval 4). The
// engine counts in microframes (a packet per microframe, sizes from samples
// per microframe, implicit feedback packet by packet), so the setting is
// refused and the device goes on with its capture stream only.
TEST_F(StreamTest, ADataEndpointNotServedEveryMicroframeIsRefusedAndTheOtherDirectionStreams) {
  Plug("Yew");
  EXPECT_EQ(Node().postStartStatus, STATUS_SUCCESS);
  EXPECT_EQ(Ctx().renderStream, nullptr);
  ASSERT_NE(Ctx().captureStream, nullptr);
  EXPECT_EQ(Ctx().filterDescriptor->filter.PinDescriptorsCount, 2u);
  EXPECT_TRUE(LogHas(machine, "data endpoint 01 with bInterval 4 not served"));
  TestPin &capture = CapturePin();
  Run(capture);
  machine.RunFor(200 * kMs);
  EXPECT_TRUE(InterlockedCompareExchange(&Capture().running, 0, 0) != 0);
  EXPECT_GT(capture.FramesMoved(), 8000u);
  EXPECT_EQ(device->Render().packets, 0u) << "nothing was ever sent to the refused endpoint";
}

// What counts as a data or feedback endpoint of a setting.
TEST(StreamEndpoints, OnlyIsochronousEndpointsCarryAudioAndOnlyAnInFeedbackEndpointPaces) {
  struct Case {
    const char *what;
    std::vector<uint8_t> endpoints;  // (address, attributes, interval) triples of setting 1
    UCHAR altSetting;                // chosen setting: 1, or 2 (the plain fallback)
    UCHAR feedback;
  };
  const std::vector<Case> cases = {
      {"isochronous data and IN feedback", {0x01, 0x05, 1, 0x81, 0x11, 4}, 1, 0x81},
      {"feedback every microframe", {0x01, 0x05, 1, 0x81, 0x11, 1}, 1, 0x81},
      {"a bulk endpoint is no data endpoint", {0x01, 0x02, 0}, 2, 0},
      {"an interrupt endpoint is no data endpoint", {0x01, 0x03, 1}, 2, 0},
      {"data every 2 microframes", {0x01, 0x05, 2}, 2, 0},
      {"data once per frame", {0x01, 0x05, 4}, 2, 0},
      {"an OUT feedback endpoint paces nothing", {0x01, 0x05, 1, 0x02, 0x11, 4}, 1, 0},
      {"an interrupt feedback endpoint paces nothing", {0x01, 0x05, 1, 0x81, 0x13, 4}, 1, 0},
  };
  for (const Case &c : cases) {
    kdtest::ConfigBuilder builder;
    builder.Interface(1, 0, 0, 1, 2).Interface(1, 1, static_cast<uint8_t>(c.endpoints.size() / 3), 1, 2);
    builder.AsGeneral(2).FormatType(4, 24);
    for (size_t i = 0; i + 2 < c.endpoints.size(); i += 3) {
      builder.Endpoint(c.endpoints[i], c.endpoints[i + 1], 64, c.endpoints[i + 2]);
    }
    builder.Interface(1, 2, 1, 1, 2).AsGeneral(2).FormatType(2, 16).Endpoint(0x01, 0x05, 64, 1);
    std::vector<uint8_t> bytes = builder.Bytes();
    UsbDeviceConfig config{};
    config.configDescriptor = bytes.data();
    config.configLength = static_cast<ULONG>(bytes.size());
    UsbInterface usbInterface{};
    usbInterface.owner = &config;
    usbInterface.interfaceNumber = 1;
    UsbAudioStream stream{};
    stream.usbInterface = &usbInterface;
    ASSERT_EQ(UsbAudioStreamSelectFormat(&stream, 48000), STATUS_SUCCESS) << c.what;
    EXPECT_EQ(stream.altSetting, c.altSetting) << c.what;
    EXPECT_EQ(stream.dataEndpoint, 0x01) << c.what;
    EXPECT_EQ(stream.feedbackEndpoint, c.feedback) << c.what;
  }
}

}  // namespace
}  // namespace sttest
