// Which samples a capture packet carries and how a run starts: the sample
// clock's phase at start (drawn from the model's seed), packets that leave
// with samples already taken, and empty packets a device may send first.
#include <numeric>
#include <set>

#include "devices/runtime_harness.h"
#include "winsim/devices/sample_clock.h"

namespace runtime_test {
namespace {

std::vector<uint32_t> Pattern(const SampleClock &clock, uint64_t from, uint32_t microframes) {
  std::vector<uint32_t> sizes;
  for (uint64_t m = from; m < from + microframes; ++m) {
    sizes.push_back(static_cast<uint32_t>(clock.SampleAt(m + 1) - clock.SampleAt(m)));
  }
  return sizes;
}

TEST(SampleClockPhase, DecidesWhereThePatternOfPacketSizesBegins) {
  SampleClock early;
  SampleClock late;
  early.Start(100, ClockParams{44100, 0}, 0);
  late.Start(100, ClockParams{44100, 0}, kClockPhaseUnits - 1);
  EXPECT_EQ(Pattern(early, 100, 4), (std::vector<uint32_t>{5, 6, 5, 6}));
  EXPECT_EQ(Pattern(late, 100, 4), (std::vector<uint32_t>{6, 6, 5, 6}));
  EXPECT_EQ(late.SampleAt(100 + 8000), early.SampleAt(100 + 8000)) << "the phase is less than one sample";
}

// A retune to the same parameters changes nothing: the fraction of a
// sample produced before it carries over.
TEST(SampleClockPhase, ARetuneKeepsTheFractionOfASample) {
  SampleClock straight;
  SampleClock retuned;
  const ClockParams params{44100, 37};
  straight.Start(0, params, 12345);
  retuned.Start(0, params, 12345);
  for (uint64_t at : {3u, 7u, 1000u}) retuned.Retune(at, params);
  // The segment before the last retune still answers exactly: a capture
  // packet asks about the interval before its microframe.
  for (uint64_t m = 7; m < 3000; ++m) ASSERT_EQ(retuned.SampleAt(m), straight.SampleAt(m)) << m;
}

// Rowan at 44.1 kHz (3-byte samples, 8 channels), capture alternate 1.
CaptureLog FirstCapturePackets(DeviceModel model, uint32_t transfers = 2) {
  model.behaviour.initialRate = 44100;
  Bench bench(model);
  EXPECT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  EXPECT_EQ(bench.SetInterface(2, 1), USBD_STATUS_SUCCESS);
  CaptureLog log{8 * 3, 3};
  IsoPump::Options options{0x81, 512};
  options.transferLimit = transfers;
  options.depth = 1;
  IsoPump pump(bench, options, {}, log.Taker());
  pump.Start();
  EXPECT_TRUE(pump.RunToLimit(kTicksPerSecond));
  return log;
}

DeviceModel Rowan(uint32_t seed, bool random = true) {
  DeviceModel model = WithDrift("Rowan", 0);
  model.behaviour.clockPhaseSeed = seed;
  model.behaviour.randomClockPhase = random;
  return model;
}

TEST(CapturePackets, TheSizePatternsPhaseIsDrawnFromTheSeedAndRepeatsWithIt) {
  const auto sizes = [](DeviceModel model) { return FirstCapturePackets(std::move(model)).framesPerPacket; };
  EXPECT_EQ(sizes(Rowan(7)), sizes(Rowan(7)));
  std::set<std::vector<uint32_t>> patterns;
  for (uint32_t seed = 1; seed <= 8; ++seed) patterns.insert(sizes(Rowan(seed)));
  EXPECT_GT(patterns.size(), 2u) << "eight seeds, one or two starts of the pattern";
  // Without the draw every run starts at phase 0: the first full packet has 5 frames.
  EXPECT_EQ(sizes(Rowan(7, false))[1], 5u);
}

struct StartCase {
  const char *name;
  CaptureTiming timing;
  uint32_t emptyAtStart;
  uint32_t emptyPackets;  // how many the run begins with
};

class CaptureStart : public ::testing::TestWithParam<StartCase> {};

// A ramp source: the frames that arrive continue it without a gap or a
// repeat, however many packets the run began with empty.
TEST_P(CaptureStart, BeginsWithTheModelsEmptyPacketsThenCarriesEverySample) {
  DeviceModel model = Rowan(3);
  model.behaviour.captureTiming = GetParam().timing;
  model.behaviour.emptyCapturePacketsAtStart = GetParam().emptyAtStart;
  model.behaviour.initialRate = 44100;
  Bench bench(model);
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  ASSERT_EQ(bench.SetInterface(2, 1), USBD_STATUS_SUCCESS);
  bench.device->SetCaptureSources(CaptureSource::Ramp(0, 1 << 8));
  CaptureLog log{8 * 3, 3};
  IsoPump::Options options{0x81, 512};
  options.transferLimit = 1;
  options.depth = 1;
  options.frames = 2;
  IsoPump pump(bench, options, {}, log.Taker());
  pump.Start();
  ASSERT_TRUE(pump.RunToLimit(kTicksPerSecond));
  const auto &sizes = log.framesPerPacket;
  ASSERT_EQ(sizes.size(), 16u);
  for (uint32_t i = 0; i < GetParam().emptyPackets; ++i) EXPECT_EQ(sizes[i], 0u) << i;
  EXPECT_GT(sizes[GetParam().emptyPackets], 0u);
  const CaptureStats stats = bench.device->Capture();
  ASSERT_FALSE(log.samples.empty());
  const int32_t first = log.samples[0];
  EXPECT_EQ(static_cast<uint64_t>(first >> 8), stats.firstSample);
  for (size_t f = 0; f < log.samples.size() / 8; ++f) {
    ASSERT_EQ(log.samples[f * 8], static_cast<int32_t>((stats.firstSample + f) << 8)) << f;
  }
  EXPECT_EQ(stats.firstSample, stats.skippedFrames);
}

INSTANTIATE_TEST_SUITE_P(
    Models, CaptureStart,
    ::testing::Values(StartCase{"SamplesOfTheIntervalBefore", CaptureTiming::AfterInterval, 0, 1},
                      StartCase{"SamplesOfTheOwnInterval", CaptureTiming::DuringInterval, 0, 0},
                      StartCase{"ThreeEmptyPacketsFirst", CaptureTiming::AfterInterval, 3, 3},
                      StartCase{"TwoEmptyPacketsOfAnIdealDevice", CaptureTiming::DuringInterval, 2, 2}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace runtime_test
