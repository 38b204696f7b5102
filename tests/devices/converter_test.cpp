// The converters between the USB stream and the outside world: a 24-bit
// converter in a 4-byte subslot keeps 24 bits, and the feature unit's mute
// and volume change what is played and captured. Both can be turned off in
// the model, giving back the idealised device.
#include <gtest/gtest.h>

#include "runtime_harness.h"
#include "winsim/devices/converter.h"

namespace runtime_test {
namespace {

constexpr int32_t kSample = 0x12345678;
constexpr int16_t kMinus6dB = -6 * 256;

struct ConverterCase {
  const char *name;
  uint32_t bits;
  ChannelGain gain;
  int32_t in, out;
};

TEST(Converter, KeepsTheResolutionsBitsAfterTheFeatureUnitsGain) {
  const ConverterCase cases[] = {
      {"32 bits pass everything", 32, {}, kSample, kSample},
      {"0 bits: no limit known", 0, {}, kSample, kSample},
      {"24 bits zero the low byte", 24, {}, kSample, 0x12345600},
      {"20 bits", 20, {}, kSample, 0x12345000},
      {"16 bits", 16, {}, -1, static_cast<int32_t>(0xFFFF0000u)},
      {"-6 dB halves, then truncates", 24, {false, kMinus6dB}, kSample, 0x091FB300},
      {"-6 dB on a negative sample", 32, {false, kMinus6dB}, -0x40000000, -0x2013739E},
      {"+6 dB of full scale clips", 32, {false, 6 * 256}, INT32_MAX, INT32_MAX},
      {"mute", 24, {true, 0}, kSample, 0},
  };
  for (const ConverterCase &c : cases) {
    SCOPED_TRACE(c.name);
    Converter converter;
    converter.SetResolution(c.bits);
    converter.SetGains({c.gain});
    EXPECT_EQ(converter.Sample(c.in, 0), c.out);
  }
}

TEST(Converter, MasterAndChannelControlsCombine) {
  const DeviceModel &model = *FindModel("Larch");
  const uint8_t unit = StreamFeatureUnit(model, StreamDirection::Render);
  ASSERT_NE(unit, 0);
  EXPECT_NE(StreamFeatureUnit(model, StreamDirection::Capture), 0);
  EXPECT_NE(StreamFeatureUnit(model, StreamDirection::Capture), unit);
  FeatureUnits units(model);
  ASSERT_TRUE(units.SetVolume(unit, 0, kMinus6dB));
  ASSERT_TRUE(units.SetVolume(unit, 2, kMinus6dB));
  ASSERT_TRUE(units.SetMute(unit, 3, true));
  const std::vector<ChannelGain> gains = GainsOf(units, unit, 4);
  EXPECT_EQ(gains[0].volume, kMinus6dB);
  EXPECT_EQ(gains[1].volume, 2 * kMinus6dB);
  EXPECT_TRUE(gains[2].mute);
  EXPECT_FALSE(gains[3].mute);
  ASSERT_TRUE(units.SetMute(unit, 0, true));
  EXPECT_TRUE(GainsOf(units, unit, 4)[3].mute) << "the master mute silences every channel";
}

// Birch: 24 bits in 4-byte subslots, four channels. The host plays a
// constant sample on every channel; what the DAC puts out depends on the
// model's converter knobs and the feature unit's settings.
struct PlayedCase {
  const char *name;
  bool honourBits;
  bool unitsShapeAudio;
  uint8_t volumeChannel;  // 0: none set
  bool mute;
  int32_t channel0, channel1;  // what the DAC plays on channels 0 and 1
};

class PlayedThroughTheConverter : public ::testing::TestWithParam<PlayedCase> {};

TEST_P(PlayedThroughTheConverter, IsWhatTheModelsConverterMakesOfIt) {
  const PlayedCase &c = GetParam();
  DeviceModel model = *FindModel("Birch");
  model.behaviour.honourBitResolution = c.honourBits;
  model.behaviour.featureUnitsShapeAudio = c.unitsShapeAudio;
  Bench bench(model);
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  const uint8_t unit = bench.device->PathFeatureUnit(StreamDirection::Render);
  if (c.volumeChannel != 0) {
    const auto volume = static_cast<uint16_t>(kMinus6dB);
    ASSERT_EQ(bench.ClassSet(unit, kFeatureVolumeControl, {static_cast<uint8_t>(volume), static_cast<uint8_t>(volume >> 8)},
                             c.volumeChannel),
              USBD_STATUS_SUCCESS);
  }
  if (c.mute) {
    ASSERT_EQ(bench.ClassSet(unit, kFeatureMuteControl, {1}), USBD_STATUS_SUCCESS);
  }
  ASSERT_EQ(bench.SetInterface(1, 1), USBD_STATUS_SUCCESS);
  IsoPump render(bench, {0x02, 400}, [](uint8_t *packet, uint32_t) {
    for (uint32_t s = 0; s < 6 * 4; ++s) PutSample(kSample, packet + 4 * s, 4);
    return 96u;
  });
  render.Start();
  bench.machine.RunFor(kTicksPerSecond / 10);
  const OutputFrames out = bench.device->RecentOutput(1);
  render.Stop();
  ASSERT_TRUE(bench.device->Render().playing);
  ASSERT_EQ(out.Frames(), 1u);
  EXPECT_EQ(out.samples[0], c.channel0);
  EXPECT_EQ(out.samples[1], c.channel1);
}

INSTANTIATE_TEST_SUITE_P(
    Knobs, PlayedThroughTheConverter,
    ::testing::Values(PlayedCase{"Realistic", true, true, 0, false, 0x12345600, 0x12345600},
                      PlayedCase{"AllBitsPass", false, true, 0, false, kSample, kSample},
                      PlayedCase{"ChannelVolume", true, true, 1, false, 0x091FB300, 0x12345600},
                      PlayedCase{"MasterMute", true, true, 0, true, 0, 0},
                      PlayedCase{"UnitsOnlyReadBack", true, false, 1, true, 0x12345600, 0x12345600}),
    [](const auto &info) { return std::string(info.param.name); });

// The ADC side: a source heard at full precision arrives with the capture
// format's resolution, and the capture path's feature unit mutes it.
TEST(CapturedThroughTheConverter, HasTheCaptureFormatsResolutionAndFollowsItsMute) {
  Bench bench(*FindModel("Birch"));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  bench.device->SetCaptureSources(CaptureSource::Constant(kSample));
  ASSERT_EQ(bench.SetInterface(2, 1), USBD_STATUS_SUCCESS);
  std::mutex lock;
  std::vector<int32_t> heard;
  IsoPump capture(bench, {0x82, 400}, {}, [&](const uint8_t *packet, uint32_t length, int32_t) {
    std::lock_guard guard(lock);
    if (length >= 4) heard.push_back(SampleAt(packet, 4));
  });
  capture.Start();
  bench.machine.RunFor(kTicksPerSecond / 20);
  ASSERT_TRUE(bench.device->SetFeatureMute(bench.device->PathFeatureUnit(StreamDirection::Capture), 0, true));
  const size_t beforeMute = [&] {
    std::lock_guard guard(lock);
    return heard.size();
  }();
  bench.machine.RunFor(kTicksPerSecond / 20);
  capture.Stop();
  ASSERT_GT(beforeMute, 100u);
  ASSERT_GT(heard.size(), beforeMute + 100);
  EXPECT_EQ(heard[beforeMute / 2], 0x12345600);
  EXPECT_EQ(heard.back(), 0);
  EXPECT_FALSE(bench.device->SetFeatureMute(0x7E, 0, true)) << "an unknown unit";
}

TEST(ConverterDelays, SplitTheLoopbackDelayBetweenDacAndAdc) {
  struct Case {
    uint32_t loopback, dac;
    uint32_t expectedDac, expectedAdc;
  };
  for (const Case &c : {Case{38, 0, 19, 19}, Case{41, 0, 21, 20}, Case{41, 29, 29, 12}, Case{20, 50, 20, 0},
                        Case{0, 0, 0, 0}}) {
    DeviceBehaviour behaviour;
    behaviour.loopbackDelaySamples = c.loopback;
    behaviour.dacDelayFrames = c.dac;
    EXPECT_EQ(DacDelayFrames(behaviour), c.expectedDac) << c.loopback << "/" << c.dac;
    EXPECT_EQ(AdcDelayFrames(behaviour), c.expectedAdc) << c.loopback << "/" << c.dac;
  }
}

}  // namespace
}  // namespace runtime_test
