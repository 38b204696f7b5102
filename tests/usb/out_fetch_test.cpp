// When the controller reads OUT data: a buffer rewritten while a transfer is
// in flight reaches the device only in packets not yet fetched, and every
// packet that went out stale is counted on its pipe.
#include "scripted_function.h"

namespace usbtest {
namespace {

using winsim::kTicksPerMillisecond;
using winsim::usb::OutFetch;

constexpr uint32_t kPacketBytes = 8;
constexpr uint32_t kFrames = 4;

struct FetchCase {
  const char *name;
  OutFetch mode;
  uint32_t aheadMicroframes;
  uint32_t firstNewFrame;  // frames from here on carry the rewritten bytes
  bool earlierFramesOld;   // and the frames before it the first ones
  uint64_t stale;
};

class OutFetchModes : public ScriptedControllerTest, public ::testing::WithParamInterface<FetchCase> {};

// The transfer covers frames S to S + 3; the buffer is rewritten half-way
// through frame S + 1.
TEST_P(OutFetchModes, BytesWrittenAfterTheFetchNeverReachTheDeviceAndAreCounted) {
  const FetchCase &c = GetParam();
  controller.SetOutFetch(c.mode, c.aheadMicroframes);
  FramesTransfer out(0x01, kFrames, kPacketBytes, 0x11);
  const uint32_t start = controller.CurrentFrame() + 4;
  out.transfer.startFrame = start;
  ASSERT_EQ(controller.Submit(port, &out.transfer), USBD_STATUS_PENDING);
  machine.RunFor(5 * kTicksPerMillisecond + kTicksPerMillisecond / 2);
  std::fill(out.buffer.begin(), out.buffer.end(), 0x22);
  ASSERT_TRUE(machine.RunUntil([&] { return out.completions == 1; }, 100 * kTicksPerMillisecond));
  EXPECT_EQ(out.status, USBD_STATUS_SUCCESS);
  ASSERT_EQ(device->outBytes.size(), kFrames * 8);
  const uint64_t first = uint64_t{start} * 8;
  for (uint32_t frame = 0; frame < kFrames; ++frame) {
    if (frame < c.firstNewFrame && !c.earlierFramesOld) continue;
    const uint8_t expected = frame >= c.firstNewFrame ? 0x22 : 0x11;
    for (uint32_t m = 0; m < 8; ++m) {
      EXPECT_EQ(device->outBytes[first + frame * 8 + m], std::vector<uint8_t>(kPacketBytes, expected))
          << "frame S + " << frame << ", microframe " << m;
    }
  }
  const winsim::usb::OutFetchCounts counts = controller.OutFetchStats(port, 0x01);
  EXPECT_EQ(counts.packets, kFrames * 8);
  EXPECT_EQ(counts.writtenAfterFetch, c.stale);
  EXPECT_EQ(controller.OutFetchStats(port, 0x02).packets, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, OutFetchModes,
    ::testing::Values(FetchCase{"AtTheMicroframe", OutFetch::AtMicroframe, 0, 3, false, 0},
                      FetchCase{"OneFrameAhead", OutFetch::Ahead, 8, 3, true, 16},
                      FetchCase{"ThreeFramesAhead", OutFetch::Ahead, 24, kFrames, true, 32},
                      FetchCase{"AtSubmission", OutFetch::AtSubmission, 0, kFrames, true, 32}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ScriptedControllerTest, IsochronousInIsNeverFetchedNorCounted) {
  FramesTransfer in(0x82, 1, kPacketBytes);
  in.transfer.asap = true;
  ASSERT_EQ(controller.Submit(port, &in.transfer), USBD_STATUS_PENDING);
  ASSERT_TRUE(machine.RunUntil([&] { return in.completions == 1; }, 100 * kTicksPerMillisecond));
  EXPECT_EQ(in.buffer[0], 0x5C);
  EXPECT_EQ(controller.OutFetchStats(port, 0x82).packets, 0u);
}

}  // namespace
}  // namespace usbtest
