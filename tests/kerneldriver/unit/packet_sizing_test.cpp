// The streaming engine's arithmetic: render packet sizes from the 16.16
// accumulator, the plausibility window of explicit feedback and the value a
// feedback read yields, packets per frame of an endpoint's interval, the
// render regions a completion fills, packet sizes under implicit feedback,
// and the latency probe's packet room.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "kerneldriver/stream/packet_sizing.h"

namespace {

constexpr ULONG kStereo32 = 8;  // bytes per frame: 2 channels × 4 bytes

std::vector<USBD_ISO_PACKET_DESCRIPTOR> Packets(ULONG count) { return std::vector<USBD_ISO_PACKET_DESCRIPTOR>(count); }

TEST(RenderPacketSizes, At48kHzEveryPacketCarriesSixFrames) {
  EXPECT_EQ(SamplesPerMicroframe(48000), 393216u);
  ULONG accumulator = 0;
  ULONG split = 0;
  auto packets = Packets(24);
  ULONG total = SizeRenderPackets(&accumulator, SamplesPerMicroframe(48000), kStereo32, 1024, packets.data(), 24, &split);
  EXPECT_EQ(total, 24u * 6 * kStereo32);
  for (ULONG i = 0; i < 24; ++i) {
    EXPECT_EQ(packets[i].Length, 6 * kStereo32);
    EXPECT_EQ(packets[i].Offset, i * 6 * kStereo32);
  }
  EXPECT_EQ(split, 16u * 6 * kStereo32);
  EXPECT_EQ(accumulator, 0u);
}

TEST(RenderPacketSizes, At44100HzOneSecondCarries44099Or44100FramesAndKeepsTheRest) {
  const ULONG perMicroframe = SamplesPerMicroframe(44100);
  EXPECT_EQ(perMicroframe, 361267u);
  ULONG accumulator = 0;
  ULONG split = 0;
  ULONGLONG frames = 0;
  std::vector<ULONG> sizes;
  for (int urb = 0; urb < 1000; ++urb) {
    auto packets = Packets(8);
    frames += SizeRenderPackets(&accumulator, perMicroframe, kStereo32, 1024, packets.data(), 8, &split) / kStereo32;
    for (const auto &p : packets) sizes.push_back(p.Length / kStereo32);
  }
  EXPECT_GE(frames, 44099u);
  EXPECT_LE(frames, 44100u);
  EXPECT_EQ(frames * 65536 + accumulator, 8000ull * perMicroframe) << "no fraction is lost";
  for (ULONG size : sizes) EXPECT_TRUE(size == 5 || size == 6) << size;
}

TEST(RenderPacketSizes, ARateBeyondThePacketIsClampedInsteadOfOverrunningTheSlot) {
  ULONG accumulator = 0;
  ULONG split = 0;
  auto packets = Packets(16);
  // 7.5 frames per microframe into packets that hold 6.
  ULONG total = SizeRenderPackets(&accumulator, 7 * 65536 + 32768, kStereo32, 6 * kStereo32, packets.data(), 16, &split);
  EXPECT_EQ(total, 16u * 6 * kStereo32);
  EXPECT_LT(accumulator, 65536u);
  EXPECT_EQ(split, total) << "fewer than 17 packets: no split inside the slot";
}

struct FeedbackCase {
  const char *what;
  ULONG value;
  ULONG nominal;
  bool plausible;
};

TEST(ExplicitFeedback, IsTakenOnlyWithinATenthOfTheNominalRate) {
  const FeedbackCase cases[] = {
      {"00 00 06 00 at 48 kHz (48000)", 0x00060000, 48000, true},
      {"00 00 08 00 at 48 kHz (64000)", 0x00080000, 48000, false},
      {"52800 Hz, the upper edge", 432538, 48000, true},
      {"52801 Hz, just above", 432547, 48000, false},
      {"43200 Hz, the lower edge", 353895, 48000, true},
      {"43199 Hz, just below", 353886, 48000, false},
      {"44.1 kHz drifted by 200 ppm", 361339, 44100, true},
      {"the largest value a device can send", 0xFFFFFFFF, 48000, false},
  };
  for (const FeedbackCase &c : cases) {
    EXPECT_EQ(FeedbackPlausible(c.value, c.nominal), c.plausible) << c.what;
  }
}

// A feedback read of up to 8 packets of 4 bytes; packet i holds value v[i].
struct FeedbackRead {
  std::vector<USBD_ISO_PACKET_DESCRIPTOR> packets;
  std::vector<UCHAR> buffer;
  explicit FeedbackRead(std::vector<ULONG> values) : packets(values.size()), buffer(values.size() * 4) {
    for (size_t i = 0; i < values.size(); ++i) {
      packets[i].Offset = static_cast<ULONG>(i * 4);
      packets[i].Length = 4;
      std::memcpy(buffer.data() + i * 4, &values[i], 4);
    }
  }
};

TEST(ExplicitFeedback, AReadYieldsTheMeanOfItsValidPlausibleValues) {
  constexpr ULONG kGood = 0x00060000, kNewer = 0x00060010, kWild = 0x00080000;
  struct Case {
    const char *what;
    std::vector<ULONG> values;
    std::function<void(FeedbackRead &)> damage;
    bool found;
    ULONG value;
  };
  const std::vector<Case> cases = {
      {"one packet", {kGood}, {}, true, kGood},
      {"the mean of eight", {kGood, kGood, kGood, kGood, kGood, kGood, kGood, kNewer}, {}, true, kGood + 2},
      {"the mean of two, rounded", {kGood, kNewer + 1}, {}, true, kGood + 9},
      {"the last failed", {kGood, kNewer}, [](FeedbackRead &r) { r.packets[1].Status = USBD_STATUS_CRC; }, true, kGood},
      {"the last short", {kGood, kNewer}, [](FeedbackRead &r) { r.packets[1].Length = 3; }, true, kGood},
      {"the last zero", {kNewer, 0}, {}, true, kNewer},
      {"the last implausible", {kNewer, kWild}, {}, true, kNewer},
      {"the last outside the buffer", {kGood, kNewer}, [](FeedbackRead &r) { r.packets[1].Offset = 6; }, true, kGood},
      {"none usable", {0, kWild}, {}, false, 0},
      {"every packet failed", {kGood, kGood},
       [](FeedbackRead &r) { r.packets[0].Status = r.packets[1].Status = USBD_STATUS_ISO_NOT_ACCESSED_BY_HW; }, false, 0},
  };
  for (const Case &c : cases) {
    FeedbackRead read(c.values);
    if (c.damage) c.damage(read);
    ULONG value = 0;
    EXPECT_EQ(FeedbackReadValue(read.packets.data(), static_cast<ULONG>(read.packets.size()), read.buffer.data(),
                                static_cast<ULONG>(read.buffer.size()), 48000, &value),
              c.found)
        << c.what;
    EXPECT_EQ(value, c.value) << c.what;
  }
}

TEST(IsoInterval, AFrameHoldsAsManyPacketsAsTheEndpointIsServed) {
  const std::pair<UCHAR, ULONG> highSpeed[] = {{0, 8}, {1, 8}, {2, 4}, {3, 2}, {4, 1}, {5, 1}, {16, 1}, {255, 1}};
  for (const auto &[interval, packets] : highSpeed) {
    EXPECT_EQ(IsoPacketsPerFrame(interval, true), packets) << "bInterval " << static_cast<int>(interval);
    EXPECT_EQ(IsoPacketsPerFrame(interval, false), 1u) << "full speed, bInterval " << static_cast<int>(interval);
  }
}

TEST(LatencyProbe, PacketsHoldTheWholeFramesOfAMicroframeWithinTheEndpoint) {
  struct Case {
    ULONG bytesPerFrame, rate, maxPacket, bytes;
  };
  const Case cases[] = {
      {8, 44100, 1024, 6 * 8},     // 5.5125 frames: room for 6
      {8, 48000, 1024, 6 * 8},     // exactly 6
      {80, 44100, 1800, 6 * 80},
      {6, 96000, 1024, 12 * 6},
      {80, 44100, 3 * 80 + 79, 3 * 80},  // capped by the endpoint, whole frames
      {80, 44100, 79, 0},          // not one frame fits
      {0, 48000, 1024, 0},
      {8, 0, 1024, 0},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(ProbeBytesPerPacket(c.bytesPerFrame, c.rate, c.maxPacket), c.bytes)
        << c.bytesPerFrame << " bytes a frame at " << c.rate << " Hz into " << c.maxPacket;
  }
}

struct RegionCase {
  ULONG framesPerUrb;
  ULONG completed;
  RenderRegionPlan expected;
};

TEST(RenderRegions, FollowTheCompletedSlotByOneUrbStartingTwoMillisecondsIn) {
  const RegionCase cases[] = {
      {1, 0, {false, 0, 3, true}},   // whole slot three ahead
      {1, 8, {false, 0, 1, true}},   // wrapping
      {2, 0, {false, 1, 2, true}},   // 16 packets: the slot after next, whole
      {3, 0, {true, 1, 2, false}},   // tail of the next from packet 16, head of the one after
      {5, 9, {true, 0, 1, false}},
      {10, 4, {true, 5, 6, false}},
  };
  for (const RegionCase &c : cases) {
    SCOPED_TRACE(testing::Message() << "UrbSize " << c.framesPerUrb << ", slot " << c.completed);
    RenderRegionPlan plan = PlanRenderRegions(c.completed, c.framesPerUrb * 8, 10);
    EXPECT_EQ(plan.hasPartA, c.expected.hasPartA);
    if (plan.hasPartA) {
      EXPECT_EQ(plan.partASlot, c.expected.partASlot);
    }
    EXPECT_EQ(plan.partBSlot, c.expected.partBSlot);
    EXPECT_EQ(plan.partBWhole, c.expected.partBWhole);
  }
}

// Capture 18 channels, render 20, 4-byte samples, 8 packets.
struct ImplicitFixture {
  static constexpr ULONG kCaptureFrame = 72, kRenderFrame = 80, kCaptureMax = 7 * 72, kPackets = 8;
  std::vector<USBD_ISO_PACKET_DESCRIPTOR> capture = Packets(kPackets), render = Packets(kPackets);
  std::vector<UCHAR> captureBuffer = std::vector<UCHAR>(kPackets * kCaptureMax, 0xAB);

  ImplicitFixture() {
    for (ULONG i = 0; i < kPackets; ++i) {
      capture[i].Offset = i * kCaptureMax;
      capture[i].Length = 6 * kCaptureFrame;
      render[i].Length = 6 * kRenderFrame;
    }
  }
  ULONG Size(ULONG *split) {
    ImplicitFeedbackSlots slots{capture.data(), captureBuffer.data(), kPackets, kCaptureFrame, kCaptureMax,
                                render.data(), kPackets, kRenderFrame, 7};
    return SizeFromCapture(slots, split);
  }
};

TEST(ImplicitFeedback, RenderPacketsCarryTheFramesTheCapturePacketsBrought) {
  ImplicitFixture f;
  f.capture[2].Length = 5 * f.kCaptureFrame;
  f.capture[5].Length = 7 * f.kCaptureFrame;
  ULONG split = 0;
  ULONG total = f.Size(&split);
  EXPECT_EQ(total, (6 * 6 + 5 + 7) * f.kRenderFrame);
  EXPECT_EQ(f.render[3].Offset, (6 + 6 + 5) * f.kRenderFrame);
  EXPECT_EQ(f.render[5].Length, 7 * f.kRenderFrame);
  EXPECT_EQ(split, total);
}

TEST(ImplicitFeedback, AnEmptyCapturePacketKeepsTheRenderSizeAndBecomesSilence) {
  ImplicitFixture f;
  f.render[4].Length = 5 * f.kRenderFrame;
  f.capture[4].Length = 0;
  ULONG split = 0;
  f.Size(&split);
  EXPECT_EQ(f.render[4].Length, 5 * f.kRenderFrame);
  EXPECT_EQ(f.capture[4].Length, 5 * f.kCaptureFrame);
  const UCHAR *bytes = f.captureBuffer.data() + f.capture[4].Offset;
  EXPECT_TRUE(std::all_of(bytes, bytes + f.capture[4].Length, [](UCHAR b) { return b == 0; }))
      << "stale bytes would reach the pins as audio";
  EXPECT_EQ(f.captureBuffer[f.capture[3].Offset], 0xAB) << "other packets are untouched";
}

// A capture packet with an error status is not audio, whatever its length:
// the render packet keeps its size, the capture packet becomes that many
// frames of silence, and its status says it may now be taken.
TEST(ImplicitFeedback, ADamagedCapturePacketKeepsTheRenderSizeAndBecomesSilence) {
  ImplicitFixture f;
  f.render[6].Length = 5 * f.kRenderFrame;
  f.capture[6].Status = USBD_STATUS_CRC;
  f.capture[6].Length = 7 * f.kCaptureFrame;  // a plausible count of garbage
  ULONG split = 0;
  f.Size(&split);
  EXPECT_EQ(f.render[6].Length, 5 * f.kRenderFrame);
  EXPECT_EQ(f.capture[6].Length, 5 * f.kCaptureFrame);
  EXPECT_EQ(f.capture[6].Status, USBD_STATUS_SUCCESS);
  const UCHAR *bytes = f.captureBuffer.data() + f.capture[6].Offset;
  EXPECT_TRUE(std::all_of(bytes, bytes + f.capture[6].Length, [](UCHAR b) { return b == 0; }));
}

TEST(ImplicitFeedback, ACapturePacketLargerThanARenderPacketHoldsIsNotFollowed) {
  ImplicitFixture f;
  f.capture[1].Length = 8 * f.kCaptureFrame;  // more than the 7 a render packet holds
  ULONG split = 0;
  f.Size(&split);
  EXPECT_EQ(f.render[1].Length, 6 * f.kRenderFrame);
  EXPECT_EQ(f.capture[1].Length, 6 * f.kCaptureFrame);
  EXPECT_EQ(f.captureBuffer[f.capture[1].Offset], 0xAB) << "received frames are kept, not zeroed";
}

}  // namespace
