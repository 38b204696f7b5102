// The render side behaves like the hardware: the DAC takes exactly the
// device clock's samples, so correctly paced packets keep the FIFO level for
// as long as they come, feedback (implicit or explicit) is what keeps a
// drifting device level, and every misfit packet, underrun and overrun is
// counted.
#include <cmath>
#include <deque>

#include "devices/runtime_harness.h"

namespace runtime_test {
namespace {

// Alder, alternate setting 1: two channels of 3-byte samples; the data
// endpoint allows 78 bytes (13 frames) per microframe. FIFO 256, start 128.
constexpr uint32_t kAlderFrameBytes = 6;
constexpr uint32_t kAlderMaxPacket = 78;

// Frame k of a test stream: a ramp on channel 0, its negation on channel 1,
// in the top bits a subslot of `subslot` bytes can carry.
int32_t RampValue(uint64_t frame, uint32_t channel, uint32_t subslot) {
  const auto step = static_cast<uint32_t>(frame + 1) << (32 - 8 * subslot);
  return static_cast<int32_t>(channel % 2 == 0 ? step : 0u - step);
}

struct RampWriter {
  uint32_t channels = 2;
  uint32_t subslot = 3;
  uint64_t written = 0;

  uint32_t Write(uint8_t *packet, uint32_t frames) {
    uint8_t *out = packet;
    for (uint32_t f = 0; f < frames; ++f, ++written) {
      for (uint32_t c = 0; c < channels; ++c, out += subslot) PutSample(RampValue(written, c, subslot), out, subslot);
    }
    return frames * channels * subslot;
  }
};

// Compares every played frame with the ramp the host sent.
struct PlayedRamp {
  uint32_t subslot = 3;
  uint64_t frames = 0;
  uint64_t mismatches = 0;

  PlayedSink Sink() {
    return [this](uint64_t, uint32_t count, uint32_t channels, const int32_t *samples) {
      for (uint32_t f = 0; f < count; ++f, ++frames) {
        for (uint32_t c = 0; c < channels; ++c) mismatches += samples[f * channels + c] != RampValue(frames, c, subslot);
      }
    };
  }
};

// A device that starts its DAC at half its FIFO, for the tests whose point
// is headroom both ways (the default starts at 1 ms of data).
DeviceModel HalfFifoStart(DeviceModel model) {
  model.behaviour.fifoStartMicroseconds = 0;
  return model;
}

Bench &Streaming(Bench &bench, uint8_t interface, uint8_t alternate) {
  EXPECT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  EXPECT_EQ(bench.SetInterface(interface, alternate), USBD_STATUS_SUCCESS);
  return bench;
}

TEST(RenderFifo, StaysLevelForAMinuteWhenEveryPacketCarriesTheClocksSixFrames) {
  Bench bench(WithDrift("Alder", 0));
  Streaming(bench, 1, 1);
  PlayedRamp played;
  bench.device->SetPlayedSink(played.Sink());
  RampWriter ramp;
  IsoPump render(bench, {0x01, kAlderMaxPacket}, [&](uint8_t *packet, uint32_t) { return ramp.Write(packet, 6); });
  render.Start();
  bench.machine.RunFor(60 * kTicksPerSecond);
  render.Stop();
  const RenderStats stats = bench.device->Render();
  EXPECT_TRUE(stats.playing);
  EXPECT_EQ(stats.underrunEvents, 0u);
  EXPECT_EQ(stats.overrunEvents, 0u);
  EXPECT_EQ(stats.packetSizeViolations, 0u);
  EXPECT_GE(stats.minLevel, stats.startThreshold - 6);
  EXPECT_LE(stats.maxLevel - stats.minLevel, 6u);
  EXPECT_GT(stats.playedFrames, 59u * 48000);
  EXPECT_EQ(played.frames, stats.playedFrames);
  EXPECT_EQ(played.mismatches, 0u);
}

enum class Sizing { Nominal, Implicit };

struct DriftCase {
  const char *name;
  int32_t ppm;
  Sizing sizing;
  bool glitches;
};

class DriftingClock : public ::testing::TestWithParam<DriftCase> {};

// Over 20 s a 200 ppm clock takes 192 frames more or less than nominal
// packets bring: more than the FIFO's headroom (about 128 frames) either way.
TEST_P(DriftingClock, IsFollowedOnlyWhenRenderPacketsCopyTheCapturePacketSizes) {
  Bench bench(HalfFifoStart(WithDrift("Alder", GetParam().ppm)));
  Streaming(bench, 1, 1);
  ASSERT_EQ(bench.SetInterface(2, 1), USBD_STATUS_SUCCESS);
  std::mutex lock;
  std::deque<uint32_t> captured;
  IsoPump capture(bench, {0x81, kAlderMaxPacket}, {}, [&](const uint8_t *, uint32_t length, int32_t) {
    std::lock_guard<std::mutex> guard(lock);
    captured.push_back(length / kAlderFrameBytes);
  });
  RampWriter ramp;
  IsoPump render(bench, {0x01, kAlderMaxPacket}, [&](uint8_t *packet, uint32_t) {
    std::lock_guard<std::mutex> guard(lock);
    uint32_t frames = 6;
    if (GetParam().sizing == Sizing::Implicit && !captured.empty()) {
      frames = captured.front();
      captured.pop_front();
    }
    return ramp.Write(packet, frames);
  });
  capture.Start();
  render.Start();
  bench.machine.RunFor(20 * kTicksPerSecond);
  const RenderStats stats = bench.device->Render();  // before either stream stops
  render.Stop();
  capture.Stop();
  EXPECT_EQ(stats.underrunEvents + stats.overrunEvents > 0, GetParam().glitches);
  if (!GetParam().glitches) {
    EXPECT_LE(stats.maxLevel - stats.minLevel, 14u);
    EXPECT_EQ(stats.missingFrames + stats.droppedFrames, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizings, DriftingClock,
                         ::testing::Values(DriftCase{"FastWithNominalPackets", 200, Sizing::Nominal, true},
                                           DriftCase{"SlowWithNominalPackets", -200, Sizing::Nominal, true},
                                           DriftCase{"FastWithImplicitFeedback", 200, Sizing::Implicit, false},
                                           DriftCase{"SlowWithImplicitFeedback", -200, Sizing::Implicit, false}),
                         [](const auto &info) { return std::string(info.param.name); });

struct FeedbackCase {
  const char *name;
  bool fullSpeed;
  uint32_t rate;
  int32_t ppm;
};

class ExplicitFeedback : public ::testing::TestWithParam<FeedbackCase> {};

// Samples per microframe in 16.16 at high speed, per frame in 10.14 at full
// speed (three bytes), rounded to nearest.
TEST_P(ExplicitFeedback, EncodesTheDriftedRate) {
  const FeedbackCase &c = GetParam();
  DeviceModel model = WithDrift("Maple", c.ppm);  // feedback endpoint 0x81
  model.behaviour.feedbackMode = FeedbackMode::FifoServo;  // the plain rate until the DAC starts
  if (c.fullSpeed) model = FullSpeedVariant(model);
  Bench bench(model);
  Streaming(bench, 1, 1);
  ASSERT_EQ(bench.SetRate(0x28, c.rate), USBD_STATUS_SUCCESS);
  std::vector<uint8_t> value;
  IsoPump::Options options{0x81, 4, 1, 8};
  options.transferLimit = 1;
  IsoPump feedback(bench, options, {}, [&](const uint8_t *packet, uint32_t length, int32_t status) {
    EXPECT_EQ(status, USBD_STATUS_SUCCESS);
    value.assign(packet, packet + length);
  });
  feedback.Start();
  ASSERT_TRUE(feedback.RunToLimit(kTicksPerSecond));
  const double drifted = c.rate * (1.0 + c.ppm / 1e6);
  const auto expected = c.fullSpeed ? std::llround(drifted / 1000 * 16384) : std::llround(drifted / 8000 * 65536);
  ASSERT_EQ(value.size(), c.fullSpeed ? 3u : 4u);
  long long got = 0;
  for (size_t i = 0; i < value.size(); ++i) got |= static_cast<long long>(value[i]) << (8 * i);
  EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(Rates, ExplicitFeedback,
                         ::testing::Values(FeedbackCase{"HighSpeed44100Slow", false, 44100, -50},
                                           FeedbackCase{"HighSpeed48000Exact", false, 48000, 0},
                                           FeedbackCase{"HighSpeed96000Fast", false, 96000, 200},
                                           FeedbackCase{"HighSpeed192000Slow", false, 192000, -1000},
                                           FeedbackCase{"FullSpeed44100Slow", true, 44100, -50},
                                           FeedbackCase{"FullSpeed96000Fast", true, 96000, 300}),
                         [](const auto &info) { return std::string(info.param.name); });

class FeedbackPacing : public ::testing::TestWithParam<bool> {};

// Maple at 44.1 kHz running 500 ppm slow gains 331 frames in 15 s from a
// host that paces by the nominal rate; its FIFO (384, start 192) overflows.
// A single read is enough only from a device that reports its rate rounded
// (the servo mode before the DAC starts); measured values must be followed.
TEST_P(FeedbackPacing, AHostPacingByTheFeedbackValueKeepsTheFifoLevel) {
  const bool useFeedback = GetParam();
  DeviceModel model = HalfFifoStart(WithDrift("Maple", -500));
  model.behaviour.feedbackMode = FeedbackMode::FifoServo;
  Bench bench(model);
  Streaming(bench, 1, 1);  // 2 channels of 4 bytes
  uint32_t perMicroframe = 44100u * 65536 / 8000;
  if (useFeedback) {
    IsoPump::Options options{0x81, 4, 1, 8};
    options.transferLimit = 1;
    IsoPump feedback(bench, options, {}, [&](const uint8_t *p, uint32_t, int32_t) {
      perMicroframe = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    });
    feedback.Start();
    ASSERT_TRUE(feedback.RunToLimit(kTicksPerSecond));
  }
  RampWriter ramp{2, 4};
  uint32_t accumulator = 0;
  IsoPump render(bench, {0x01, 1024}, [&](uint8_t *packet, uint32_t) {
    accumulator += perMicroframe;
    const uint32_t frames = accumulator >> 16;
    accumulator &= 0xFFFF;
    return ramp.Write(packet, frames);
  });
  render.Start();
  bench.machine.RunFor(15 * kTicksPerSecond);
  render.Stop();
  const RenderStats stats = bench.device->Render();
  EXPECT_EQ(stats.overrunEvents > 0, !useFeedback);
  EXPECT_EQ(stats.underrunEvents, 0u);
  if (useFeedback) {
    EXPECT_LE(stats.maxLevel - stats.minLevel, 16u);
  }
}

INSTANTIATE_TEST_SUITE_P(Hosts, FeedbackPacing, ::testing::Bool(),
                         [](const auto &info) { return std::string(info.param ? "ByFeedback" : "ByNominalRate"); });

struct Misfit {
  const char *name;
  uint32_t bytes;
};

class MisfitPackets : public ::testing::TestWithParam<Misfit> {};

TEST_P(MisfitPackets, CountOneViolationEachAndLoseOnlyTheirOwnData) {
  Bench bench(WithDrift("Alder", 0));
  Streaming(bench, 1, 1);
  uint64_t sent = 0, misfits = 0;
  IsoPump::Options options{0x01, 1024};  // room beyond the endpoint's 78 bytes, as a faulty host might use
  options.transferLimit = 1000;
  IsoPump render(bench, options, [&](uint8_t *packet, uint32_t) {
    std::fill_n(packet, GetParam().bytes, 0x11);
    if (++sent % 800 != 0) return 6 * kAlderFrameBytes;
    ++misfits;
    return GetParam().bytes;
  });
  render.Start();
  ASSERT_TRUE(render.RunToLimit(2 * kTicksPerSecond));
  const RenderStats stats = bench.device->Render();
  EXPECT_EQ(misfits, 10u);
  EXPECT_EQ(stats.packets, sent);
  EXPECT_EQ(stats.packetSizeViolations, misfits);
  EXPECT_EQ(stats.framesReceived, 6 * (sent - misfits));
}

INSTANTIATE_TEST_SUITE_P(Sizes, MisfitPackets,
                         ::testing::Values(Misfit{"OneByteOverAFrame", 37}, Misfit{"HalfAFrame", 33},
                                           Misfit{"LongerThanTheEndpointAllows", 84}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(RenderFifo, RunsDryOnceWhenTheHostStopsSendingAndCountsEveryMissingFrame) {
  Bench bench(WithDrift("Alder", 0));
  Streaming(bench, 1, 1);
  RampWriter ramp;
  IsoPump render(bench, {0x01, kAlderMaxPacket}, [&](uint8_t *packet, uint32_t) { return ramp.Write(packet, 6); });
  render.Start();
  bench.machine.RunFor(200 * kTicksPerMillisecond);
  render.Stop();
  bench.machine.RunFor(50 * kTicksPerMillisecond);
  bench.device->AdvanceClockTo(bench.hc.CurrentMicroframe());
  const RenderStats stats = bench.device->Render();
  EXPECT_EQ(stats.underrunEvents, 1u);
  EXPECT_EQ(stats.level, 0u);
  EXPECT_EQ(stats.missingFrames, stats.playedFrames - stats.framesReceived);
  EXPECT_GE(stats.missingFrames, 50u * 48 - stats.startThreshold - 6);
  EXPECT_EQ(stats.minLevel, 0u);
}

TEST(RenderFifo, DropsWhatDoesNotFitAndAccountsForEveryFrame) {
  Bench bench(WithDrift("Alder", 0));
  Streaming(bench, 1, 1);
  RampWriter ramp;
  IsoPump render(bench, {0x01, kAlderMaxPacket}, [&](uint8_t *packet, uint32_t) { return ramp.Write(packet, 7); });
  render.Start();
  bench.machine.RunFor(200 * kTicksPerMillisecond);
  render.Stop();
  const RenderStats stats = bench.device->Render();
  EXPECT_GT(stats.overrunEvents, 1000u);
  EXPECT_EQ(stats.droppedFrames, stats.overrunEvents);  // one frame too many per packet once full
  EXPECT_EQ(stats.maxLevel, stats.fifoDepth);
  EXPECT_EQ(stats.underrunEvents, 0u);
  EXPECT_EQ(stats.framesReceived, stats.playedFrames + stats.level + stats.droppedFrames);
}

struct Decoding {
  const char *name;
  const char *model;
  uint8_t alternate;
  uint32_t channels;
  std::vector<uint8_t> sample;
  int32_t expected;
};

class SampleDecoding : public ::testing::TestWithParam<Decoding> {};

TEST_P(SampleDecoding, SignExtendsEachSubslotIntoALeftJustifiedWord) {
  const Decoding &d = GetParam();
  Bench bench(WithDrift(d.model, 0));
  Streaming(bench, 1, d.alternate);
  const uint32_t frameBytes = d.channels * static_cast<uint32_t>(d.sample.size());
  IsoPump render(bench, {0x01, 1024}, [&](uint8_t *packet, uint32_t) {
    for (uint32_t at = 0; at < 6 * frameBytes; at += static_cast<uint32_t>(d.sample.size())) {
      std::copy(d.sample.begin(), d.sample.end(), packet + at);
    }
    return 6 * frameBytes;
  });
  render.Start();
  bench.machine.RunFor(60 * kTicksPerMillisecond);
  render.Stop();
  const OutputFrames recent = bench.device->RecentOutput(32);
  ASSERT_EQ(recent.Frames(), 32u);
  ASSERT_EQ(recent.channels, d.channels);
  for (int32_t sample : recent.samples) ASSERT_EQ(sample, d.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Subslots, SampleDecoding,
    ::testing::Values(Decoding{"TwoBytesPositive", "Alder", 2, 2, {0x34, 0x12}, 0x12340000},
                      Decoding{"TwoBytesMostNegative", "Alder", 2, 2, {0x00, 0x80}, INT32_MIN},
                      Decoding{"ThreeBytesPositive", "Alder", 1, 2, {0x56, 0x34, 0x12}, 0x12345600},
                      Decoding{"ThreeBytesMinusOne", "Alder", 1, 2, {0xFF, 0xFF, 0xFF}, -256},
                      Decoding{"FourBytesPositive", "Maple", 1, 2, {0x78, 0x56, 0x34, 0x12}, 0x12345678},
                      Decoding{"FourBytesMinusTwo", "Maple", 1, 2, {0xFE, 0xFF, 0xFF, 0xFF}, -2}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace runtime_test
