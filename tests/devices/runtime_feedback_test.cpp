// Explicit feedback in each of the device's modes. The FIFO servo keeps the
// render FIFO centred: while the DAC plays the value moves one unit per frame
// the FIFO strays from its start threshold (never more than 1 % of the rate),
// and a host that sizes its packets from it holds the FIFO at the threshold
// however the device's clock drifts. The measured rate (the common case) has
// no FIFO term: a host that follows it keeps the FIFO where it started.
//
// These tests drive the device directly, microframe by microframe, the way
// the host controller would: hours of device time run in seconds.
#include <algorithm>
#include <ostream>

#include "devices/runtime_harness.h"
#include "winsim/devices/feedback_meter.h"

namespace runtime_test {
namespace {

constexpr uint8_t kMapleClock = 0x28;
constexpr uint8_t kMapleRender = 0x01;
constexpr uint8_t kMapleFeedback = 0x81;
constexpr uint32_t kMapleFrameBytes = 8;  // alternate setting 1: two channels of four bytes
constexpr uint64_t kFirstMicroframe = uint64_t{kFrameBase} * 8;
constexpr uint32_t kMicroframesPerSecond = 8000;

// Instrumented debug builds run the long loops some twenty times slower: there
// they run two minutes, enough to check memory and thread safety; the plain
// build's full runs pin the behaviour.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint32_t kMaxMinutes = 2;
#else
constexpr uint32_t kMaxMinutes = 60;
#endif

// The host controller's part for Maple, without a Machine: requests answered
// at once, one packet per service interval in bus order.
class DirectHost {
 public:
  explicit DirectHost(const DeviceModel &model)
      : m_device(Built(model)),
        m_interval(model.speed == UsbSpeed::High ? 1 : 8),
        m_fullSpeed(model.speed == UsbSpeed::Full) {}

  bool Stream(uint32_t rate) {
    const uint8_t le[4] = {static_cast<uint8_t>(rate), static_cast<uint8_t>(rate >> 8),
                           static_cast<uint8_t>(rate >> 16), static_cast<uint8_t>(rate >> 24)};
    return Acked({0x00, 0x09, 1, 0, 0}, nullptr) &&
           Acked({kClassSet, kCur, kSamFreq << 8, kMapleClock << 8, 4}, le) && Acked({0x01, 0x0B, 1, 1, 0}, nullptr);
  }

  // The feedback value as the host reads it in the current service interval.
  uint32_t Feedback() {
    uint8_t bytes[4] = {};
    const usb::TransferOutcome outcome = m_device.IsoIn(kMapleFeedback, m_microframe, bytes, sizeof bytes);
    EXPECT_EQ(outcome.handshake, Handshake::Ack);
    EXPECT_EQ(outcome.length, m_fullSpeed ? 3u : 4u);
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  }

  // One OUT packet of `frames` (silence), then on to the next interval.
  void Send(uint32_t frames) {
    m_packet.assign(size_t{frames} * kMapleFrameBytes, 0);
    const usb::TransferOutcome outcome =
        m_device.IsoOut(kMapleRender, m_microframe, m_packet.data(), static_cast<uint32_t>(m_packet.size()));
    EXPECT_EQ(outcome.handshake, Handshake::Ack);
    m_microframe += m_interval;
  }

  // Sends what brings the FIFO to `target` after this interval's packet
  // (at most `maxFrames`); none when it already holds more.
  void SendToward(uint32_t target, uint32_t maxFrames) {
    m_device.AdvanceClockTo(m_microframe + m_interval);  // the DAC's share of the interval, as IsoOut would
    const uint32_t level = m_device.Render().level;
    Send(level < target ? std::min(target - level, maxFrames) : 0);
  }

  RenderStats Render() const { return m_device.Render(); }

  // Frames the render endpoint takes in one packet.
  uint32_t MaxFrames() const {
    const DeviceDefinition &definition = m_device.Definition();
    const InterfaceLayout layout = ReadInterfaceLayout(definition.descriptors.configuration, definition.model.speed);
    const InterfaceInfo *itf = layout.Find(1);
    const AltSetting *alt = itf ? itf->Alternate(1) : nullptr;
    const EndpointInfo *data = alt ? alt->DataEndpoint() : nullptr;
    return data ? data->maxPacketBytes / kMapleFrameBytes : 0;
  }

 private:
  bool Acked(SetupPacket setup, const uint8_t *out) {
    uint8_t data[8] = {};
    if (out != nullptr) std::copy_n(out, setup.wLength, data);
    return m_device.Control(setup, data, 0).handshake == Handshake::Ack;
  }

  AudioDevice m_device;
  const uint32_t m_interval;  // microframes per packet
  const bool m_fullSpeed;
  uint64_t m_microframe = kFirstMicroframe;
  std::vector<uint8_t> m_packet;
};

DeviceModel Maple(bool fullSpeed, int32_t ppm, uint32_t depth = 0, uint32_t start = 0,
                  FeedbackMode mode = FeedbackMode::FifoServo) {
  DeviceModel model = WithDrift("Maple", ppm);
  model.behaviour.feedbackMode = mode;
  model.behaviour.fifoStartMicroseconds = 0;  // the servo steers around half the FIFO
  if (depth != 0) model.behaviour.fifoDepthFrames = depth;
  if (start != 0) model.behaviour.fifoStartFrames = start;
  return fullSpeed ? FullSpeedVariant(model) : model;
}

uint32_t RoundedRate(bool fullSpeed, uint32_t rate, int32_t ppm) {
  return fullSpeed ? FeedbackFullSpeed({rate, ppm}) : FeedbackHighSpeed({rate, ppm});
}

struct Steering {
  const char *name;
  bool fullSpeed;
  uint32_t rate;
  uint32_t depth;  // FIFO; 0: Maple's own (384, start 192)
  uint32_t start;
  bool startDac;   // fill to the start threshold first
  uint32_t level;  // then hold the FIFO here
  int32_t correction;  // expected value − rounded rate, in units of the fixed point
};

void PrintTo(const Steering &c, std::ostream *os) { *os << c.name; }

class FeedbackSteering : public ::testing::TestWithParam<Steering> {};

TEST_P(FeedbackSteering, MovesTheRateOneUnitPerFrameOfFifoDeviationWithinOnePercent) {
  const Steering &c = GetParam();
  DirectHost host(Maple(c.fullSpeed, 0, c.depth, c.start));
  ASSERT_TRUE(host.Stream(c.rate));
  const uint32_t maxFrames = host.MaxFrames();
  const uint32_t threshold = host.Render().startThreshold;
  for (int i = 0; c.startDac && !host.Render().playing && i < 20000; ++i) host.SendToward(threshold, maxFrames);
  for (int i = 0; host.Render().level != c.level && i < 20000; ++i) host.SendToward(c.level, maxFrames);
  const RenderStats stats = host.Render();
  ASSERT_EQ(stats.playing, c.startDac);
  ASSERT_EQ(stats.level, c.level);
  EXPECT_EQ(static_cast<int64_t>(host.Feedback()) - RoundedRate(c.fullSpeed, c.rate, 0), c.correction);
}

// The clamp: 1 % of 393216 (48 kHz) and of 361267 (44.1 kHz) at high speed,
// of 786432 and 722534 at full speed, rounded down.
INSTANTIATE_TEST_SUITE_P(
    FifoLevels, FeedbackSteering,
    ::testing::Values(Steering{"HighSpeedBelowTheThresholdAsksForMore", false, 48000, 0, 0, true, 150, 42},
                      Steering{"HighSpeedAboveTheThresholdAsksForLess", false, 48000, 0, 0, true, 250, -58},
                      Steering{"HighSpeedAtTheThresholdIsTheRate", false, 44100, 0, 0, true, 192, 0},
                      Steering{"HighSpeedFillingBeforeTheDacStartsIsTheRate", false, 48000, 0, 0, false, 100, 0},
                      Steering{"HighSpeedRunDryClampsAtOnePercentMore", false, 48000, 20000, 10000, true, 0, 3932},
                      Steering{"HighSpeedFullClampsAtOnePercentLess", false, 44100, 20000, 10000, true, 20000, -3612},
                      Steering{"FullSpeedBelowTheThresholdAsksForMore", true, 44100, 0, 0, true, 100, 92},
                      Steering{"FullSpeedAboveTheThresholdAsksForLess", true, 48000, 0, 0, true, 300, -108},
                      Steering{"FullSpeedAtTheThresholdIsTheRate", true, 48000, 0, 0, true, 192, 0},
                      Steering{"FullSpeedFillingBeforeTheDacStartsIsTheRate", true, 44100, 0, 0, false, 20, 0},
                      Steering{"FullSpeedRunDryClampsAtOnePercentMore", true, 44100, 20000, 10000, true, 0, 7225},
                      Steering{"FullSpeedFullClampsAtOnePercentLess", true, 48000, 20000, 10000, true, 20000, -7864}),
    [](const auto &info) { return std::string(info.param.name); });

struct ClosedLoop {
  const char *name;
  bool fullSpeed;
  uint32_t rate;
  int32_t ppm;
  uint32_t minutes;  // of device time
  FeedbackMode mode = FeedbackMode::FifoServo;
};

void PrintTo(const ClosedLoop &c, std::ostream *os) { *os << c.name; }

class FeedbackClosedLoop : public ::testing::TestWithParam<ClosedLoop> {};

// A host that starts at the nominal rate, reads the feedback every 4 ms and
// sizes each packet from it with a fixed-point accumulator, as a driver
// does. With the rounded rate alone the FIFO would wander by up to 33
// frames in these runs (without bound in longer runs), and at full
// speed would keep the up to one packet it overshot the threshold by before
// the DAC started; the servo holds it within a few frames of the threshold.
// The first minute is left to settle: several time constants.
TEST_P(FeedbackClosedLoop, HoldsTheFifoWithinAFewFramesOfItsThreshold) {
  const ClosedLoop &c = GetParam();
  DirectHost host(Maple(c.fullSpeed, c.ppm, 0, 0, c.mode));
  ASSERT_TRUE(host.Stream(c.rate));
  const uint32_t fractionBits = c.fullSpeed ? 14 : 16;
  const uint32_t intervalsPerSecond = c.fullSpeed ? 1000 : kMicroframesPerSecond;
  const uint32_t readEvery = c.fullSpeed ? 4 : 32;
  const uint64_t intervals = uint64_t{60} * std::min(c.minutes, kMaxMinutes) * intervalsPerSecond;
  const uint64_t settled = uint64_t{60} * intervalsPerSecond;
  uint32_t value = static_cast<uint32_t>((uint64_t{c.rate} << fractionBits) / intervalsPerSecond);
  uint32_t accumulator = 0;
  const uint32_t threshold = host.Render().startThreshold;
  uint32_t low = UINT32_MAX, high = 0;
  for (uint64_t i = 0; i < intervals; ++i) {
    if (i % readEvery == 0) value = host.Feedback();
    accumulator += value;
    host.Send(accumulator >> fractionBits);
    accumulator &= (1u << fractionBits) - 1;
    if (i < settled) continue;
    const uint32_t level = host.Render().level;
    low = std::min(low, level);
    high = std::max(high, level);
  }
  const RenderStats stats = host.Render();
  RecordProperty("levels", std::to_string(low) + ".." + std::to_string(high));
  EXPECT_TRUE(stats.playing);
  EXPECT_EQ(stats.underrunEvents, 0u);
  EXPECT_EQ(stats.overrunEvents, 0u);
  if (c.mode == FeedbackMode::FifoServo) {
    EXPECT_GE(low + 6, threshold);
    EXPECT_LE(high, threshold + 6);
  } else {
    // No FIFO term: the level stays where the DAC started it (at full speed
    // up to a packet above the threshold).
    EXPECT_NEAR(stats.MeanLevel(), stats.StartLevel(), 8.0);
  }
}

INSTANTIATE_TEST_SUITE_P(Drifts, FeedbackClosedLoop,
                         ::testing::Values(ClosedLoop{"HighSpeed44100Slow", false, 44100, -200, 10},
                                           ClosedLoop{"HighSpeed44100Exact", false, 44100, 0, 10},
                                           ClosedLoop{"HighSpeed44100Fast", false, 44100, 200, 10},
                                           ClosedLoop{"HighSpeed48000Slow", false, 48000, -200, 10},
                                           ClosedLoop{"HighSpeed48000Exact", false, 48000, 0, 10},
                                           ClosedLoop{"HighSpeed48000Fast", false, 48000, 200, 10},
                                           ClosedLoop{"FullSpeed44100Exact", true, 44100, 0, 5},
                                           ClosedLoop{"FullSpeed48000Slow", true, 48000, -200, 5},
                                           ClosedLoop{"MeasuredHighSpeed44100Fast", false, 44100, 200, 10,
                                                      FeedbackMode::MeasuredRate},
                                           ClosedLoop{"MeasuredHighSpeed48000Slow", false, 48000, -200, 10,
                                                      FeedbackMode::MeasuredRate},
                                           ClosedLoop{"MeasuredFullSpeed44100Fast", true, 44100, 200, 5,
                                                      FeedbackMode::MeasuredRate}),
                         [](const auto &info) { return std::string(info.param.name); });

// What each mode reports with the clock 200 ppm fast at 44.1 kHz (16.16
// rounded: 361267 nominal, 361339 drifted), before the DAC starts and while
// it plays with the FIFO 40 frames under its threshold. The measured value
// is quantised to 32 units (one master-clock tick over Maple's 8-microframe
// interval) and jittered by a tick at either end.
struct ModeCase {
  const char *name;
  FeedbackMode mode;
  int64_t before, playing;  // expected values
  int64_t tolerance;
};

void PrintTo(const ModeCase &c, std::ostream *os) { *os << c.name; }

class FeedbackModes : public ::testing::TestWithParam<ModeCase> {};

TEST_P(FeedbackModes, ReportWhatTheModelsDeviceWould) {
  const ModeCase &c = GetParam();
  DirectHost host(Maple(false, 200, 0, 0, c.mode));
  ASSERT_TRUE(host.Stream(44100));
  EXPECT_NEAR(host.Feedback(), c.before, c.tolerance);
  const uint32_t maxFrames = host.MaxFrames();
  const uint32_t threshold = host.Render().startThreshold;
  for (int i = 0; !host.Render().playing && i < 20000; ++i) host.SendToward(threshold, maxFrames);
  for (int i = 0; host.Render().level != threshold - 40 && i < 20000; ++i) host.SendToward(threshold - 40, maxFrames);
  ASSERT_TRUE(host.Render().playing);
  EXPECT_NEAR(host.Feedback(), c.playing, c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, FeedbackModes,
    ::testing::Values(ModeCase{"MeasuredRate", FeedbackMode::MeasuredRate, 361339, 361339, 96},
                      ModeCase{"NominalRounded", FeedbackMode::NominalRounded, 361267, 361267, 0},
                      ModeCase{"ZeroUntilPlaying", FeedbackMode::ZeroUntilPlaying, 0, 361339, 96},
                      ModeCase{"FifoServo", FeedbackMode::FifoServo, 361339, 361339 + 40, 0}),
    [](const auto &info) { return std::string(info.param.name); });

// The measured values telescope: over any run their mean is the clock's
// true rate, however coarse each one is.
TEST(MeasuredFeedback, IsQuantisedPerIntervalButExactOnAverage) {
  struct Case {
    UsbSpeed speed;
    uint32_t rate;
    int32_t ppm;
    uint32_t window;  // microframes
    uint32_t jitter;
  };
  const Case cases[] = {{UsbSpeed::High, 44100, 200, 8, 1},  {UsbSpeed::High, 48000, -200, 1, 1},
                        {UsbSpeed::High, 176400, 0, 4, 0},   {UsbSpeed::Full, 44100, 200, 8, 1},
                        {UsbSpeed::Full, 96000, -300, 16, 2}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz " << c.ppm << " ppm window " << c.window);
    const ClockParams clock{c.rate, c.ppm};
    const bool high = c.speed == UsbSpeed::High;
    const double exact = c.rate * (1 + c.ppm / 1e6) * (high ? 65536.0 / 8000 : 16384.0 / 1000);
    const uint32_t windows = 8000;
    double sum = 0;
    uint32_t low = UINT32_MAX, high_ = 0;
    for (uint32_t i = 1; i <= windows; ++i) {
      const uint32_t value = MeasuredFeedback(clock, c.speed, kFirstMicroframe + uint64_t{i} * c.window, c.window, c.jitter);
      sum += value;
      low = std::min(low, value);
      high_ = std::max(high_, value);
    }
    EXPECT_NEAR(sum / windows, exact, 1.0);
    const double step = (high ? 65536.0 : 16384.0 * 8) / (256.0 * c.window);  // one tick per window
    EXPECT_GE(high_ - low, step * 0.99) << "the count's phase moves the value by a tick";
    // The count's phase moves a window by a tick, the jitter either end by c.jitter.
    EXPECT_LE(high_ - low, step * (4 * c.jitter + 1) + 1);
  }
}

}  // namespace
}  // namespace runtime_test
