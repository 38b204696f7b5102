// When the DAC starts and what it does once its FIFO runs dry: the start
// threshold follows the stream's rate, and after an underrun the DAC either
// waits for the threshold again or plays on, as the model says.
#include <gtest/gtest.h>

#include <vector>

#include "winsim/devices/render_stream.h"

namespace winsim::devices {
namespace {

constexpr uint32_t kChannels = 2;
constexpr uint32_t kSubslot = 4;

struct ThresholdCase {
  const char *name;
  uint32_t startFrames;
  uint32_t startMicroseconds;
  uint32_t rate;
  uint32_t threshold;
};

class StartThreshold : public ::testing::TestWithParam<ThresholdCase> {};

TEST_P(StartThreshold, FollowsTheRateUnlessGivenInFrames) {
  RenderStream stream;
  stream.Configure(512, GetParam().startFrames, GetParam().startMicroseconds, RenderUnderrunPolicy::Reprime);
  stream.SetRate(GetParam().rate);
  EXPECT_EQ(stream.Stats().startThreshold, GetParam().threshold);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartThreshold,
    ::testing::Values(ThresholdCase{"OneMillisecondAt48k", 0, 1000, 48000, 48},
                      ThresholdCase{"OneMillisecondAt44k1RoundsUp", 0, 1000, 44100, 45},
                      ThresholdCase{"OneMillisecondAt192k", 0, 1000, 192000, 192},
                      ThresholdCase{"BeyondTheDepthIsTheDepth", 0, 5000, 192000, 512},
                      ThresholdCase{"NoTimeIsHalfTheDepth", 0, 0, 48000, 256},
                      ThresholdCase{"FramesWin", 100, 1000, 48000, 100}),
    [](const auto &info) { return std::string(info.param.name); });

// Pushes `frames` frames of value `value` as one packet.
void Push(RenderStream &stream, uint32_t frames, int32_t value = 0x100) {
  std::vector<uint8_t> packet(size_t{frames} * kChannels * kSubslot);
  for (size_t i = 0; i < packet.size(); i += kSubslot) {
    for (uint32_t b = 0; b < kSubslot; ++b) packet[i + b] = static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * b));
  }
  stream.Receive(packet.data(), static_cast<uint32_t>(packet.size()));
}

// Plays one microframe of 6 frames; true when any frame was not silence.
struct Dac {
  RenderStream &stream;
  uint64_t sample = 0;
  bool Play() {
    const int32_t *out = stream.Play(sample, 6);
    sample += 6;
    if (out == nullptr) return false;
    for (uint32_t i = 0; i < 6 * kChannels; ++i) {
      if (out[i] != 0) return true;
    }
    return false;
  }
};

RenderStream Started(RenderUnderrunPolicy policy) {
  RenderStream stream;
  stream.Configure(512, 0, 1000, policy);
  stream.SetRate(48000);
  stream.Start(kChannels, kSubslot, 1024);
  return stream;
}

TEST(RenderStart, TheDacStartsAtOneMillisecondOfDataAndCountsEveryDryMicroframe) {
  RenderStream stream = Started(RenderUnderrunPolicy::PlayOn);
  Dac dac{stream};
  Push(stream, 42);
  EXPECT_FALSE(dac.Play());
  EXPECT_FALSE(stream.Playing());
  Push(stream, 6);  // 48 frames: 1 ms at 48 kHz
  for (int i = 0; i < 8; ++i) EXPECT_TRUE(dac.Play()) << i;
  EXPECT_EQ(stream.Stats().underrunMicroframes, 0u);
  for (int i = 0; i < 3; ++i) dac.Play();
  EXPECT_EQ(stream.Stats().underrunMicroframes, 3u);
  EXPECT_EQ(stream.Stats().underrunEvents, 1u);
  EXPECT_EQ(stream.Stats().missingFrames, 18u);
}

struct PolicyCase {
  const char *name;
  RenderUnderrunPolicy policy;
  bool playsTheNextPacketAtOnce;
};

class AfterAnUnderrun : public ::testing::TestWithParam<PolicyCase> {};

// After running dry, one packet arrives: playing on plays it at once;
// re-priming keeps silence until the FIFO holds the threshold again, and
// counts each of those microframes.
TEST_P(AfterAnUnderrun, TheDacPlaysOnOrWaitsForTheThreshold) {
  RenderStream stream = Started(GetParam().policy);
  Dac dac{stream};
  Push(stream, 48);
  for (int i = 0; i < 9; ++i) dac.Play();  // the ninth runs dry
  const uint64_t dry = stream.Stats().underrunMicroframes;
  ASSERT_EQ(dry, 1u);
  Push(stream, 6);
  EXPECT_EQ(dac.Play(), GetParam().playsTheNextPacketAtOnce);
  const bool reprimes = GetParam().policy == RenderUnderrunPolicy::Reprime;
  EXPECT_EQ(stream.Stats().underrunMicroframes, dry + (reprimes ? 1 : 0));
  EXPECT_EQ(stream.Stats().reprimes, reprimes ? 1u : 0u);
  Push(stream, 48);
  EXPECT_TRUE(dac.Play());
  EXPECT_EQ(stream.Stats().underrunEvents, 1u);
  EXPECT_EQ(stream.Stats().playedFrames, stream.Stats().framesReceived - stream.Stats().level +
                                              stream.Stats().missingFrames);
}

INSTANTIATE_TEST_SUITE_P(Policies, AfterAnUnderrun,
                         ::testing::Values(PolicyCase{"PlayOn", RenderUnderrunPolicy::PlayOn, true},
                                           PolicyCase{"Reprime", RenderUnderrunPolicy::Reprime, false}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace winsim::devices
