// Capture packets carry exactly what the device's drifting clock produced,
// and each channel carries what its source gives: the render output a fixed
// converter delay later, or a signal the test set.
#include <cmath>

#include "devices/runtime_harness.h"

namespace runtime_test {
namespace {

struct SizeCase {
  const char *name;
  bool fullSpeed;
  int32_t ppm;
  uint64_t expectedFrames;  // 10 s at 44100 Hz × (1 + ppm / 1e6), rounded down
};

class CapturePacketSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(CapturePacketSizes, SumOverTenSecondsToTheDriftedSampleCount) {
  const SizeCase &c = GetParam();
  DeviceModel model = WithDrift("Alder", c.ppm);  // capture: interface 2, alternate 1, 2 × 3 bytes
  // The clock's arithmetic alone: phase 0 at start, each packet carrying its own interval.
  model.behaviour.randomClockPhase = false;
  model.behaviour.captureTiming = CaptureTiming::DuringInterval;
  if (c.fullSpeed) model = FullSpeedVariant(model);
  Bench bench(model);
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  ASSERT_EQ(bench.SetRate(0x28, 44100), USBD_STATUS_SUCCESS);
  ASSERT_EQ(bench.SetInterface(2, 1), USBD_STATUS_SUCCESS);
  CaptureLog log{6, 3};
  IsoPump::Options options{0x81, 1023};
  options.packetsPerFrame = c.fullSpeed ? 1 : 8;
  options.frames = c.fullSpeed ? 8 : 1;
  options.transferLimit = c.fullSpeed ? 1250 : 10000;  // 10 s either way
  IsoPump pump(bench, options, {}, log.Taker());
  pump.Start();
  ASSERT_TRUE(pump.RunToLimit(11 * kTicksPerSecond));
  ASSERT_EQ(log.framesPerPacket.size(), c.fullSpeed ? 10000u : 80000u);
  EXPECT_EQ(log.TotalFrames(), c.expectedFrames);
  const uint32_t low = c.fullSpeed ? 44 : 5;
  for (uint32_t frames : log.framesPerPacket) ASSERT_TRUE(frames == low || frames == low + 1) << frames;
  EXPECT_EQ(std::count(log.statuses.begin(), log.statuses.end(), USBD_STATUS_SUCCESS), log.statuses.size());
}

INSTANTIATE_TEST_SUITE_P(Drifts, CapturePacketSizes,
                         ::testing::Values(SizeCase{"Exact", false, 0, 441000},
                                           SizeCase{"Fast200ppm", false, 200, 441088},
                                           SizeCase{"Slow200ppm", false, -200, 440911},
                                           SizeCase{"FullSpeedFast200ppm", true, 200, 441088},
                                           SizeCase{"FullSpeedSlow200ppm", true, -200, 440911}),
                         [](const auto &info) { return std::string(info.param.name); });

// Alder (converter delay 29 samples): the host plays a ramp and captures at
// once; each captured sample is the sample played 29 device samples before
// it, and silence before playback began.
TEST(Loopback, ReturnsThePlayedRampDelayedByExactlyTheConverterDelay) {
  const DeviceModel &model = *FindModel("Alder");
  const uint32_t delay = model.behaviour.loopbackDelaySamples;
  Bench bench(model);
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  ASSERT_EQ(bench.SetInterface(1, 1), USBD_STATUS_SUCCESS);
  ASSERT_EQ(bench.SetInterface(2, 1), USBD_STATUS_SUCCESS);
  auto ramp = [](uint64_t frame, uint32_t channel) {
    return static_cast<int32_t>(static_cast<uint32_t>(frame + 1) << 8) * (channel == 0 ? 1 : -1);
  };
  uint64_t written = 0;
  IsoPump render(bench, {0x01, 78}, [&](uint8_t *packet, uint32_t) {
    for (uint32_t f = 0; f < 6; ++f, ++written) {
      for (uint32_t c = 0; c < 2; ++c) PutSample(ramp(written, c), packet + 6 * f + 3 * c, 3);
    }
    return 36u;
  });
  CaptureLog log{6, 3};
  IsoPump capture(bench, {0x81, 78}, {}, log.Taker());
  render.Start();
  capture.Start();
  bench.machine.RunFor(kTicksPerSecond);
  capture.Stop();  // first, so the DAC does not run dry while capture packets still come
  render.Stop();
  const RenderStats played = bench.device->Render();
  const CaptureStats captured = bench.device->Capture();
  ASSERT_EQ(played.underrunEvents + played.overrunEvents, 0u);
  ASSERT_GT(log.samples.size(), 40000u * 2);
  uint64_t silent = 0, checked = 0;
  for (uint64_t j = 0; j < log.samples.size() / 2; ++j) {
    const uint64_t heardAt = captured.firstSample + j;  // device sample index
    const bool beforePlayback = heardAt < played.playbackStartSample + delay;
    const uint64_t frame = beforePlayback ? 0 : heardAt - delay - played.playbackStartSample;
    if (!beforePlayback && frame >= played.framesReceived) break;
    for (uint32_t c = 0; c < 2; ++c) {
      ASSERT_EQ(log.samples[2 * j + c], beforePlayback ? 0 : ramp(frame, c)) << "captured frame " << j;
    }
    (beforePlayback ? silent : checked) += 1;
  }
  EXPECT_EQ(silent, played.playbackStartSample + delay - captured.firstSample);
  EXPECT_GT(checked, 40000u);
}

struct SourceCase {
  const char *name;
  CaptureSource source;
  std::function<int32_t(uint64_t index)> expected;  // full-scale value before the subslot's truncation
};

class CaptureSources : public ::testing::TestWithParam<SourceCase> {};

// Cedar: eight capture channels, alternate setting 2 carries 3-byte samples.
TEST_P(CaptureSources, FeedTheirChannelInTheSubslotsPrecision) {
  Bench bench(*FindModel("Cedar"));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  ASSERT_EQ(bench.SetInterface(1, 2), USBD_STATUS_SUCCESS);
  bench.device->SetCaptureSource(5, GetParam().source);
  CaptureLog log{24, 3};
  IsoPump::Options options{0x81, 1024};
  options.transferLimit = 20;
  IsoPump pump(bench, options, {}, log.Taker());
  pump.Start();
  ASSERT_TRUE(pump.RunToLimit(kTicksPerSecond));
  const uint64_t first = bench.device->Capture().firstSample;
  ASSERT_EQ(log.samples.size(), 8 * log.TotalFrames());
  for (uint64_t j = 0; j < log.TotalFrames(); ++j) {
    ASSERT_EQ(log.samples[8 * j + 5], GetParam().expected(first + j) & ~0xFF) << "frame " << j;
    ASSERT_EQ(log.samples[8 * j + 4], 0) << "an untouched channel hears the silent output";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, CaptureSources,
    ::testing::Values(
        SourceCase{"Constant", CaptureSource::Constant(-0x12345678), [](uint64_t) { return -0x12345678; }},
        SourceCase{"Ramp", CaptureSource::Ramp(0x7FFFF000, 0x1000),
                   [](uint64_t i) { return static_cast<int32_t>(0x7FFFF000u + 0x1000u * static_cast<uint32_t>(i)); }},
        SourceCase{"Generator",
                   CaptureSource::Generate([](uint32_t channel, uint64_t index) {
                     return static_cast<int32_t>(channel << 28 | (index & 0xFFFF) << 8);
                   }),
                   [](uint64_t i) { return static_cast<int32_t>(5u << 28 | (i & 0xFFFF) << 8); }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(CaptureSources, SineHasItsFrequencyAndAmplitudeAtTheClocksRate) {
  Bench bench(WithDrift("Cedar", 0));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  ASSERT_EQ(bench.SetInterface(1, 2), USBD_STATUS_SUCCESS);
  const double amplitude = 0x40000000;
  bench.device->SetCaptureSources(CaptureSource::Sine(1000, amplitude));
  CaptureLog log{24, 3};
  IsoPump::Options options{0x81, 1024};
  options.transferLimit = 100;  // 100 ms: 100 periods at 48 kHz
  IsoPump pump(bench, options, {}, log.Taker());
  pump.Start();
  ASSERT_TRUE(pump.RunToLimit(kTicksPerSecond));
  int32_t peak = 0;
  int risingZeroCrossings = 0;
  for (uint64_t j = 1; j < log.TotalFrames(); ++j) {
    const int32_t now = log.samples[8 * j + 7], before = log.samples[8 * (j - 1) + 7];
    EXPECT_EQ(now, log.samples[8 * j]);  // every channel hears the same sine
    peak = std::max(peak, now);
    risingZeroCrossings += before < 0 && now >= 0;
  }
  EXPECT_NEAR(peak, amplitude, amplitude * 1e-3);
  EXPECT_NEAR(risingZeroCrossings, 100, 1);
}

TEST(CapturePackets, ThatDoNotFitTheHostsRoomAreBabble) {
  Bench bench(WithDrift("Alder", 0));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  ASSERT_EQ(bench.SetInterface(2, 1), USBD_STATUS_SUCCESS);
  CaptureLog log{6, 3};
  IsoPump::Options options{0x81, 30};  // room for five of the six frames each microframe brings
  options.transferLimit = 2;
  IsoPump pump(bench, options, {}, log.Taker());
  pump.Start();
  ASSERT_TRUE(pump.RunToLimit(kTicksPerSecond));
  // A run's first packet carries nothing (no sample was complete before it), so it fits.
  std::vector<int32_t> statuses(16, USBD_STATUS_CRC);
  statuses[0] = USBD_STATUS_SUCCESS;
  EXPECT_EQ(log.statuses, statuses);
  EXPECT_EQ(pump.LastTransferStatus(), USBD_STATUS_ISOCH_REQUEST_FAILED);
  EXPECT_EQ(bench.device->Capture().overflows, 15u);
}

}  // namespace
}  // namespace runtime_test
