// The AudioControl interface answers the clock requests a driver sends
// (sampling frequency CUR and RANGE, validity, selector input), refuses what
// the device cannot do, and a rate change reaches the streams through the
// selected clock.
#include "devices/runtime_harness.h"

namespace runtime_test {
namespace {

constexpr uint8_t kInternal = 0x28;
constexpr uint8_t kSpdif = 0x29;
constexpr uint8_t kAdat = 0x2A;
constexpr uint8_t kSelector = 0x30;

uint32_t U32(const std::vector<uint8_t> &bytes, size_t at) {
  if (at + 4 > bytes.size()) return 0xFFFFFFFF;
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

std::vector<uint8_t> Le32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

class ClockRequests : public ::testing::TestWithParam<DeviceModel> {};

TEST_P(ClockRequests, EveryClockReportsItsRateItsRangeInTwoReadsAndItsValidity) {
  const DeviceModel &model = GetParam();
  Bench bench(model);
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  for (const ClockSource &clock : model.clocks) {
    SCOPED_TRACE(clock.name);
    const ControlResult cur = bench.ClassGet(kCur, clock.id, kSamFreq, 4);
    ASSERT_EQ(cur.status, USBD_STATUS_SUCCESS);
    const bool startsAtInitial =
        std::find(clock.rates.begin(), clock.rates.end(), model.behaviour.initialRate) != clock.rates.end();
    EXPECT_EQ(U32(cur.data, 0), startsAtInitial ? model.behaviour.initialRate : clock.rates.front());

    const ControlResult head = bench.ClassGet(kRange, clock.id, kSamFreq, 2);
    ASSERT_EQ(head.data.size(), 2u);
    const size_t count = head.data[0] | head.data[1] << 8;
    EXPECT_EQ(count, clock.rates.size());
    const ControlResult range = bench.ClassGet(kRange, clock.id, kSamFreq, static_cast<uint16_t>(2 + 12 * count));
    ASSERT_EQ(range.data.size(), 2 + 12 * count);
    for (size_t i = 0; i < count; ++i) {
      EXPECT_EQ(U32(range.data, 2 + 12 * i), clock.rates[i]);
      EXPECT_EQ(U32(range.data, 6 + 12 * i), clock.rates[i]);
      EXPECT_EQ(U32(range.data, 10 + 12 * i), 0u);
    }
    EXPECT_EQ(bench.ClassGet(kCur, clock.id, kClockValid, 1).data,
              std::vector<uint8_t>{static_cast<uint8_t>(clock.validAtStart)});
  }
  if (model.selector) {
    EXPECT_EQ(bench.ClassGet(kCur, model.selector->id, 1, 1).data, std::vector<uint8_t>{1});
  }
}

INSTANTIATE_TEST_SUITE_P(CatalogModels, ClockRequests, ::testing::ValuesIn(Catalog()),
                         [](const auto &info) { return info.param.name; });

struct RateWrite {
  const char *name;
  std::vector<uint8_t> payload;
  int32_t status;
  uint32_t rateAfter;
};

class RateWrites : public ::testing::TestWithParam<RateWrite> {};

TEST_P(RateWrites, TakeOnlyRatesTheClockListsInAFourByteBlock) {
  Bench bench(*FindModel("Larch"));  // internal clock: 44.1 to 192 kHz, starts at 48 kHz
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  EXPECT_EQ(bench.ClassSet(kInternal, kSamFreq, GetParam().payload), GetParam().status);
  EXPECT_EQ(U32(bench.ClassGet(kCur, kInternal, kSamFreq, 4).data, 0), GetParam().rateAfter);
  EXPECT_EQ(bench.device->ClockRate(kSpdif), 48000u);
}

INSTANTIATE_TEST_SUITE_P(
    Writes, RateWrites,
    ::testing::Values(RateWrite{"Listed", Le32(96000), USBD_STATUS_SUCCESS, 96000},
                      RateWrite{"Highest", Le32(192000), USBD_STATUS_SUCCESS, 192000},
                      RateWrite{"NotListed", Le32(32000), USBD_STATUS_STALL_PID, 48000},
                      RateWrite{"Zero", Le32(0), USBD_STATUS_STALL_PID, 48000},
                      RateWrite{"ShortBlock", {0x00, 0x77}, USBD_STATUS_STALL_PID, 48000}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ClockSelector, AcceptsItsInputsOneBasedAndRefusesTheRest) {
  Bench bench(*FindModel("Larch"));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  const std::pair<uint8_t, int32_t> writes[] = {
      {2, USBD_STATUS_SUCCESS}, {0, USBD_STATUS_STALL_PID}, {4, USBD_STATUS_STALL_PID}, {3, USBD_STATUS_SUCCESS}};
  for (const auto &[input, status] : writes) {
    EXPECT_EQ(bench.ClassSet(kSelector, 1, {input}), status) << int{input};
  }
  EXPECT_EQ(bench.ClassGet(kCur, kSelector, 1, 1).data, std::vector<uint8_t>{3});
  EXPECT_EQ(bench.device->ActiveClock(), kAdat);
  EXPECT_EQ(bench.ClassSet(kSelector, 1, {1, 0}), USBD_STATUS_STALL_PID);
}

// Capture packets of one 1 ms transfer at the device's current settings.
std::vector<uint32_t> CaptureOneTransfer(Bench &bench) {
  CaptureLog log{18 * 4, 4};
  IsoPump::Options options{0x81, 1024};
  options.transferLimit = 1;
  IsoPump pump(bench, options, {}, log.Taker());
  pump.Start();
  EXPECT_TRUE(pump.RunToLimit(kTicksPerSecond));
  return log.framesPerPacket;
}

TEST(ClockSelector, TheSelectedClocksRateSizesTheCapturePackets) {
  Bench bench(WithDrift("Larch", 0));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  // An external clock runs at the rate of what it locks to; the host cannot set it.
  EXPECT_EQ(bench.SetRate(kSpdif, 96000), USBD_STATUS_STALL_PID);
  ASSERT_TRUE(bench.device->SetLockedRate(kSpdif, 96000));
  ASSERT_EQ(bench.SetInterface(2, 1), USBD_STATUS_SUCCESS);
  std::vector<uint32_t> first(8, 6);
  first[0] = 0;  // a run's first packet: no sample was complete before it
  EXPECT_EQ(CaptureOneTransfer(bench), first);
  ASSERT_EQ(bench.ClassSet(kSelector, 1, {2}), USBD_STATUS_SUCCESS);
  EXPECT_EQ(CaptureOneTransfer(bench), std::vector<uint32_t>(8, 12));
  ASSERT_TRUE(bench.device->SetLockedRate(kSpdif, 44100));
  const std::vector<uint32_t> packets = CaptureOneTransfer(bench);
  for (uint32_t frames : packets) EXPECT_TRUE(frames == 5 || frames == 6) << frames;
}

struct Refused {
  const char *name;
  SetupPacket setup;
};

class RefusedClassRequest : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedClassRequest, Stalls) {
  Bench bench(*FindModel("Larch"));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  std::vector<uint8_t> out(GetParam().setup.wLength, 1);
  EXPECT_EQ(bench.Control(GetParam().setup, out).status, USBD_STATUS_STALL_PID);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RefusedClassRequest,
    ::testing::Values(Refused{"UnknownEntity", {kClassGet, kCur, kSamFreq << 8, 0x7700, 4}},
                      Refused{"ClockSourceUnknownControl", {kClassGet, kCur, 0x0300, 0x2800, 4}},
                      Refused{"RateOfAChannel", {kClassGet, kCur, kSamFreq << 8 | 1, 0x2800, 4}},
                      Refused{"ValidityWrite", {kClassSet, kCur, kClockValid << 8, 0x2900, 1}},
                      Refused{"ValidityRange", {kClassGet, kRange, kClockValid << 8, 0x2900, 8}},
                      Refused{"RangeWrite", {kClassSet, kRange, kSamFreq << 8, 0x2800, 14}},
                      Refused{"SelectorRange", {kClassGet, kRange, 0x0100, 0x3000, 8}},
                      Refused{"StreamingInterfaceRecipient", {kClassGet, kCur, kSamFreq << 8, 0x2801, 4}},
                      Refused{"EndpointRecipient", {0xA2, kCur, kSamFreq << 8, 0x0081, 3}},
                      Refused{"VendorToInterface", {0xC1, kCur, kSamFreq << 8, 0x2800, 4}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(FeatureUnit, KeepsMuteAndVolumeWithinWhatItsControlsAllow) {
  const DeviceModel &model = *FindModel("Alder");
  const uint8_t unit = model.featureUnits.front().id;  // master: mute and volume; channels: volume only
  Bench bench(model);
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  const uint8_t mute = 1, volume = 2;
  EXPECT_EQ(bench.ClassSet(unit, mute, {1}), USBD_STATUS_SUCCESS);
  EXPECT_EQ(bench.ClassGet(kCur, unit, mute, 1).data, std::vector<uint8_t>{1});
  EXPECT_EQ(bench.ClassSet(unit, mute, {1}, 1), USBD_STATUS_STALL_PID);
  EXPECT_EQ(bench.ClassSet(unit, volume, {0x00, 0xF6}, 2), USBD_STATUS_SUCCESS);  // -10 dB
  EXPECT_EQ(bench.ClassGet(kCur, unit, volume, 2, 2).data, (std::vector<uint8_t>{0x00, 0xF6}));
  EXPECT_EQ(bench.ClassGet(kCur, unit, volume, 2, 1).data, (std::vector<uint8_t>{0x00, 0x00}));
  EXPECT_EQ(bench.ClassSet(unit, volume, {0x00, 0x01}, 1), USBD_STATUS_STALL_PID);  // +1 dB is above the range
  EXPECT_EQ(bench.ClassSet(unit, volume, {0x00, 0x00}, 3), USBD_STATUS_STALL_PID);  // a stereo unit has no channel 3
  EXPECT_EQ(bench.ClassGet(kRange, unit, volume, 8).data,
            (std::vector<uint8_t>{1, 0, 0x00, 0x81, 0x00, 0x00, 0x00, 0x01}));
}

// A power loss resets what a bus reset leaves alone: the clock rates and
// the selector input go back to what the device powers up with, and the
// streaming interfaces to alternate setting 0 (unconfigured). A bus reset
// keeps the class state.
TEST(PowerLoss, ResetsClocksSelectorAndSettingsWhereABusResetKeepsTheClocks) {
  Bench bench(*FindModel("Larch"));
  for (bool powerLost : {false, true}) {
    SCOPED_TRACE(powerLost);
    ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
    ASSERT_EQ(bench.SetRate(kInternal, 96000), USBD_STATUS_SUCCESS);
    ASSERT_EQ(bench.ClassSet(kSelector, 1, {2}), USBD_STATUS_SUCCESS);
    ASSERT_EQ(bench.SetInterface(1, 1), USBD_STATUS_SUCCESS);
    const uint32_t losses = bench.device->PowerLosses();
    if (powerLost) {
      bench.device->PowerLoss(bench.machine.Now());
    } else {
      bench.device->BusReset(bench.machine.Now());
    }
    EXPECT_EQ(bench.device->PowerLosses(), losses + (powerLost ? 1u : 0u));
    EXPECT_EQ(bench.device->Configuration(), 0u);
    EXPECT_EQ(bench.device->AlternateSetting(1), 0u);
    EXPECT_EQ(bench.device->ClockRate(kInternal), powerLost ? 48000u : 96000u);
    EXPECT_EQ(bench.device->SelectorInput(), powerLost ? 1u : 2u);
  }
}

}  // namespace
}  // namespace runtime_test
