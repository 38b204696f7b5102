// The start-up latency probe against a stack that refuses URBs at once and
// a rate whose microframe is not a whole number of frames.
#include "stream_harness.h"

namespace sttest {
namespace {

// The stack refuses the first ten probe URBs at once: URB 0's completion
// runs inside its send and sends URB 10, refused in turn, and so on to URB
// 90. The probe must still wait for URBs 1 to 9 and their followers before
// it frees their IRPs (freeing one the stack still holds is a bug check).
TEST_F(StreamTest, TheLatencyProbeWaitsForEveryUrbWhenEarlyOnesAreRefusedAtOnce) {
  auto &controller = machine.Bus(1)->Controller();
  controller.RefuseIsochronous(10);
  Plug("Larch");
  EXPECT_EQ(controller.RefusedIsochronous(), 10u);
  EXPECT_EQ(Node().postStartStatus, STATUS_SUCCESS);
  EXPECT_GE(Ctx().minUrbSize, 1u);
  EXPECT_LE(Ctx().minUrbSize, 10u);
}

// At 44.1 kHz a microframe holds 5.5125 frames; the probe's packets of
// silence carry whole frames, 5 and 6 in turn as the stream's would, which
// the device takes (5.5 frames' worth of bytes would be refused as a broken
// packet) and plays without its FIFO overflowing.
TEST_F(StreamTest, TheLatencyProbeSendsWholeFramesAt44100Hz) {
  Plug("Maple");
  ASSERT_EQ(Ctx().sampleRate, 44100u);
  const auto stats = device->Render();
  EXPECT_GE(stats.packets, 100u * 8);
  EXPECT_EQ(stats.packetSizeViolations, 0u);
  EXPECT_NEAR(static_cast<double>(stats.framesReceived), stats.packets * 44100.0 / 8000, 2.0);
  EXPECT_EQ(stats.overrunEvents, 0u);
}

}  // namespace
}  // namespace sttest
