// Clock events reach the streams: which clocks take a rate from the host,
// how a clock settles after a change, the drift of the clock the streams
// run from (an external clock's sender, or the device's crystal once the
// lock is lost), and the status interrupt messages that tell the host.
#include "devices/runtime_harness.h"

namespace runtime_test {
namespace {

using Bytes = std::vector<uint8_t>;

// Birch: internal clock 0x28 (programmable), S/PDIF 0x29 (external),
// selector 0x30, status interrupt 0x84. Hazel: one fixed clock 0x28.
// Cedar: one internal variable clock 0x28.
constexpr uint8_t kInternal = 0x28;
constexpr uint8_t kSpdif = 0x29;
constexpr uint8_t kSelector = 0x30;
constexpr uint8_t kBirchStatus = 0x84;

uint32_t U32(const Bytes &bytes, size_t at) {
  if (bytes.size() < at + 4) return 0;
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

struct RateWriteCase {
  const char *name;
  const char *model;
  uint8_t clock;
  uint32_t rate;
  ClockRateWrites writes;
  int32_t status;
};

class ClockRateWrite : public ::testing::TestWithParam<RateWriteCase> {};

TEST_P(ClockRateWrite, IsTakenOnlyByClocksTheHostMayProgram) {
  DeviceModel model = *FindModel(GetParam().model);
  model.behaviour.clockRateWrites = GetParam().writes;
  Bench bench(model);
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  const uint32_t before = bench.device->ClockRate(GetParam().clock);
  EXPECT_EQ(bench.SetRate(GetParam().clock, GetParam().rate), GetParam().status);
  const bool taken = GetParam().status == USBD_STATUS_SUCCESS;
  EXPECT_EQ(bench.device->ClockRate(GetParam().clock), taken ? GetParam().rate : before);
}

constexpr auto kStrict = ClockRateWrites::InternalVariableOrProgrammable;
constexpr auto kLenient = ClockRateWrites::AnyListedRate;

INSTANTIATE_TEST_SUITE_P(
    Clocks, ClockRateWrite,
    ::testing::Values(RateWriteCase{"Programmable", "Birch", kInternal, 96000, kStrict, USBD_STATUS_SUCCESS},
                      RateWriteCase{"Variable", "Cedar", kInternal, 96000, kStrict, USBD_STATUS_SUCCESS},
                      RateWriteCase{"FixedEvenItsOwnRate", "Hazel", kInternal, 48000, kStrict, USBD_STATUS_STALL_PID},
                      RateWriteCase{"External", "Birch", kSpdif, 96000, kStrict, USBD_STATUS_STALL_PID},
                      RateWriteCase{"FixedOnALenientDevice", "Hazel", kInternal, 48000, kLenient, USBD_STATUS_SUCCESS},
                      RateWriteCase{"ExternalOnALenientDevice", "Birch", kSpdif, 96000, kLenient,
                                    USBD_STATUS_SUCCESS}),
    [](const auto &info) { return std::string(info.param.name); });

struct SettleCase {
  const char *name;
  ClockSettleEffect effect;
  bool validityDips;
  bool dataPaused;
};

class ClockSettling : public ::testing::TestWithParam<SettleCase> {};

// A rate change on Birch's internal clock while nothing streams, then a
// capture run: the clock reads invalid for the settle time, or the run's
// first packets carry nothing for that time; afterwards it is all normal.
TEST_P(ClockSettling, AfterARateChangeShowsAsTheModelSays) {
  DeviceModel model = WithDrift("Birch", 0);
  model.behaviour.clockSettleEffect = GetParam().effect;
  model.behaviour.clockSettleMicroseconds = 4000;
  model.behaviour.captureTiming = CaptureTiming::DuringInterval;
  Bench bench(model);
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  ASSERT_EQ(bench.SetRate(kInternal, 96000), USBD_STATUS_SUCCESS);
  EXPECT_EQ(bench.ClassGet(kCur, kInternal, kClockValid, 1).data, Bytes{GetParam().validityDips ? uint8_t{0} : uint8_t{1}});
  ASSERT_EQ(bench.SetInterface(2, 1), USBD_STATUS_SUCCESS);
  CaptureLog log{4 * 4, 4};
  IsoPump::Options options{0x82, 1024};
  options.transferLimit = 10;
  options.depth = 2;
  IsoPump pump(bench, options, {}, log.Taker());
  pump.Start();
  ASSERT_TRUE(pump.RunToLimit(kTicksPerSecond));
  EXPECT_EQ(bench.ClassGet(kCur, kInternal, kClockValid, 1).data, Bytes{1});
  const auto &sizes = log.framesPerPacket;
  ASSERT_EQ(sizes.size(), 80u);
  // At most 4 ms of microframes from the first data packet the device saw,
  // and no longer than 4 ms after the change.
  const uint32_t muted = static_cast<uint32_t>(std::find_if(sizes.begin(), sizes.end(), [](uint32_t n) { return n != 0; }) -
                                               sizes.begin());
  if (GetParam().dataPaused) {
    EXPECT_GE(muted, 16u);
    EXPECT_LE(muted, 32u);
  } else {
    EXPECT_EQ(muted, 0u);
  }
  for (uint32_t i = muted; i < sizes.size(); ++i) EXPECT_EQ(sizes[i], 12u) << i;
  EXPECT_EQ(bench.device->SettleMutedPackets(), muted);
}

INSTANTIATE_TEST_SUITE_P(Effects, ClockSettling,
                         ::testing::Values(SettleCase{"ReportInvalid", ClockSettleEffect::ReportInvalid, true, false},
                                           SettleCase{"MuteData", ClockSettleEffect::MuteData, false, true},
                                           SettleCase{"None", ClockSettleEffect::None, false, false}),
                         [](const auto &info) { return std::string(info.param.name); });

// Frames the device's capture stream produces over `seconds` (the host keeps reading).
uint64_t CapturedFrames(Bench &bench, uint32_t seconds) {
  const uint64_t before = bench.device->Capture().frames;
  bench.machine.RunFor(seconds * kTicksPerSecond);
  return bench.device->Capture().frames - before;
}

std::optional<Bytes> ReadStatus(Bench &bench) {
  auto read = bench.SubmitBulk(TransferKind::Interrupt, kBirchStatus, Bytes(6));
  if (!bench.Wait(*read, 100 * kTicksPerMillisecond)) {
    bench.hc.Cancel(&read->transfer);
    bench.Wait(*read);
    return std::nullopt;
  }
  return read->buffer;
}

// Streams run from S/PDIF at its sender's +200 ppm; when the lock goes the
// device runs free on its own crystal (-100 ppm) at the same rate and says
// so on the status interrupt; the lock back brings the sender's rate back.
TEST(ExternalClock, TheStreamsRunAtTheSendersDriftAndFallBackToTheCrystalWithoutLock) {
  DeviceModel model = WithDrift("Birch", -100);
  model.clocks[1].driftPpm = 200;
  model.clocks[1].validAtStart = true;
  Bench bench(model);
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  ASSERT_EQ(bench.ClassSet(kSelector, 1, {2}), USBD_STATUS_SUCCESS);
  ASSERT_EQ(bench.SetInterface(2, 1), USBD_STATUS_SUCCESS);
  IsoPump::Options options{0x82, 1024};
  IsoPump pump(bench, options, {}, {});
  pump.Start();
  bench.machine.RunFor(100 * kTicksPerMillisecond);
  const uint64_t locked = CapturedFrames(bench, 10);
  EXPECT_NEAR(static_cast<double>(locked), 480096.0, 60.0);
  bench.device->SetClockValid(kSpdif, false);
  EXPECT_EQ(ReadStatus(bench), (Bytes{0x00, 0x01, 0x00, 0x02, 0x00, kSpdif}));
  const uint64_t free = CapturedFrames(bench, 10);
  EXPECT_NEAR(static_cast<double>(free), 479952.0, 60.0);
  bench.device->SetClockValid(kSpdif, true);
  EXPECT_TRUE(ReadStatus(bench).has_value());
  EXPECT_NEAR(static_cast<double>(CapturedFrames(bench, 10)), 480096.0, 60.0);
  pump.Stop();
}

TEST(ExternalClock, FollowsTheSendersRateAndReportsIt) {
  DeviceModel model = WithDrift("Birch", 0);
  model.clocks[1].validAtStart = true;
  Bench bench(model);
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  EXPECT_FALSE(bench.device->SetLockedRate(kInternal, 96000)) << "an internal clock has no sender";
  EXPECT_FALSE(bench.device->SetLockedRate(kSpdif, 32000)) << "not a rate the clock lists";
  EXPECT_TRUE(bench.device->SetLockedRate(kSpdif, 96000));
  EXPECT_EQ(U32(bench.ClassGet(kCur, kSpdif, kSamFreq, 4).data, 0), 96000u);
  EXPECT_EQ(ReadStatus(bench), (Bytes{0x00, 0x01, 0x00, 0x01, 0x00, kSpdif}));
  EXPECT_TRUE(bench.device->SetLockedRate(kSpdif, 96000));
  EXPECT_EQ(ReadStatus(bench), std::nullopt) << "no change, no message";
}

// A switch on the device (not a host request) moves the selector: the host
// hears of it, and the streams run from the new clock.
TEST(ClockSelector, ASwitchOnTheDeviceIsReportedAndMovesTheStreams) {
  DeviceModel model = WithDrift("Birch", 0);
  model.clocks[1].validAtStart = true;
  Bench bench(model);
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  ASSERT_TRUE(bench.device->SetLockedRate(kSpdif, 96000));
  ASSERT_TRUE(ReadStatus(bench).has_value());
  EXPECT_FALSE(bench.device->SwitchClockInput(3));
  EXPECT_TRUE(bench.device->SwitchClockInput(2));
  EXPECT_EQ(ReadStatus(bench), (Bytes{0x00, 0x01, 0x00, 0x01, 0x00, kSelector}));
  EXPECT_EQ(bench.ClassGet(kCur, kSelector, 1, 1).data, Bytes{2});
  EXPECT_EQ(bench.device->ActiveRate(), 96000u);
  EXPECT_EQ(bench.ClassSet(kSelector, 1, {1}), USBD_STATUS_SUCCESS);
  EXPECT_EQ(ReadStatus(bench), std::nullopt) << "the host's own change is not reported back";
}

}  // namespace
}  // namespace runtime_test
