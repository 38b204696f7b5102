// The streams against what a real stack reports while they run: packets it
// missed or that arrived babbling are counted and the streams go on; a late
// start frame costs the late packets only; an OUT packet the device lost is
// invisible; a URB failing as a whole stops its stream through recovery,
// and the pins starting again bring it back.
#include <usb.h>

#include "stream_harness.h"

namespace sttest {
namespace {

using winsim::usb::HostController;
using winsim::usb::VTime;

constexpr VTime kMs = 10000;

struct StatusCase {
  const char *name;
  std::function<void(HostController &, winsim::devices::AudioDevice &)> inject;
  ULONG renderFailed;
  ULONG captureFailed;
};

TEST_F(StreamTest, PacketErrorsTheStackReportsAreCountedAndTheStreamsGoOn) {
  const StatusCase cases[] = {
      {"missed OUT service intervals", [](HostController &c, auto &) { c.MissServiceIntervals(5, 0x01); }, 5, 0},
      {"missed IN service intervals", [](HostController &c, auto &) { c.MissServiceIntervals(7, 0x81); }, 0, 7},
      {"babble on IN", [](HostController &c, auto &) { c.BabbleIsochronousIn(3, 0x81); }, 0, 3},
      {"OUT packets the device lost",
       [this](HostController &, winsim::devices::AudioDevice &d) {
         d.EditFaults([&](winsim::devices::FaultKnobs &knobs) {
           knobs.dropEndpoint = 0x01;
           knobs.dropFromMicroframe = Microframe() + 8 * 20;
           knobs.dropUntilMicroframe = Microframe() + 8 * 20 + 4;
         });
       },
       0, 0},
  };
  for (const StatusCase &c : cases) {
    SCOPED_TRACE(c.name);
    Plug("Larch");
    auto [render, capture] = RunBoth();
    machine.RunFor(200 * kMs);
    c.inject(machine.Bus(1)->Controller(), *device);
    machine.RunFor(200 * kMs);
    EXPECT_TRUE(Running(&Render()));
    EXPECT_TRUE(Running(&Capture()));
    EXPECT_EQ(Render().failedPackets, c.renderFailed);
    EXPECT_EQ(Capture().failedPackets, c.captureFailed);
    const uint64_t captured = capture.FramesMoved();
    machine.RunFor(100 * kMs);
    EXPECT_GT(capture.FramesMoved(), captured + 4000);
    Leave(render);
    Leave(capture);
    Unplug();
  }
}

// The stack lets start frames inside its threshold through but does not
// serve their first frames: with a threshold beyond the driver's lead every
// resubmission loses its first frame's packets, which the driver counts;
// the stream runs on.
TEST_F(StreamTest, ResubmissionsInsideTheSchedulingThresholdLoseOnlyTheirLatePackets) {
  Plug("Maple");
  UsbAudioDeviceSetUrbSize(&Ctx(), 3);
  HostController &controller = machine.Bus(1)->Controller();
  TestPin &render = RenderPin();
  Run(render);
  machine.RunFor(100 * kMs);
  // A resubmission names a frame nine URB periods ahead.
  controller.SetSchedulingThreshold(9 * 3 + 1);
  machine.RunFor(100 * kMs);
  controller.SetSchedulingThreshold(1);
  machine.RunFor(50 * kMs);  // the URBs sent meanwhile come back
  EXPECT_TRUE(Running(&Render()));
  EXPECT_GT(Render().failedPackets, 0u);
  EXPECT_EQ(Render().failedPackets % 8, 0u) << "whole frames, one URB's first";
  const ULONG failed = Render().failedPackets;
  machine.RunFor(100 * kMs);
  EXPECT_EQ(Render().failedPackets, failed) << "nothing more once the threshold is back";
  Leave(render);
  Unplug();
}

// A capture URB the controller failed entirely: the stream stops through
// its recovery and stays stopped while the pins run; the pins leaving and
// entering RUN start it again.
TEST_F(StreamTest, AUrbFailedAsAWholeStopsItsStreamUntilThePinsStartAgain) {
  Plug("Larch");
  auto [render, capture] = RunBoth();
  machine.RunFor(200 * kMs);
  machine.Bus(1)->Controller().MissServiceIntervals(8 * 2 * Capture().framesPerUrb, 0x81);
  ASSERT_TRUE(machine.RunUntil([&] { return !Running(&Capture()) && Capture().recoveryQueued == 0; }, 200 * kMs));
  machine.Bus(1)->Controller().MissServiceIntervals(0);  // what the stopped stream left of the fault
  EXPECT_TRUE(LogHas(machine, "data URB failed; pipe aborted 00000000, reset 00000000"));
  const uint64_t captured = capture.FramesMoved();
  machine.RunFor(100 * kMs);
  EXPECT_EQ(capture.FramesMoved(), captured);
  Leave(render);
  Leave(capture);
  Run(capture);
  Run(render);
  machine.RunFor(200 * kMs);
  EXPECT_TRUE(Running(&Capture()));
  EXPECT_GT(capture.FramesMoved(), captured + 4000);
  EXPECT_EQ(Capture().failedPackets, 0u);
  Leave(render);
  Leave(capture);
  Unplug();
}

}  // namespace
}  // namespace sttest
