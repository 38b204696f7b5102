// Every fault a test injects reaches the host as the status a driver would
// see, fires exactly as often as asked, and is counted.
#include <algorithm>

#include "devices/runtime_harness.h"
#include "winsim/devices/config_walk.h"

namespace runtime_test {
namespace {

constexpr uint8_t kInternal = 0x28;
const SetupPacket kGetRate{kClassGet, kCur, kSamFreq << 8, kInternal << 8, 4};
const SetupPacket kGetValidity{kClassGet, kCur, kClockValid << 8, kInternal << 8, 1};

struct ControlFault {
  const char *name;
  std::function<void(FaultKnobs &)> knobs;
  std::vector<int32_t> rateStatuses;  // of consecutive rate reads
  int32_t validityStatus;             // of a validity read after them
  FaultCounts counts;
};

class ControlFaults : public ::testing::TestWithParam<ControlFault> {};

TEST_P(ControlFaults, ReachTheHostAsTheTransferStatus) {
  Bench bench(*FindModel("Alder"));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  bench.device->EditFaults(GetParam().knobs);
  for (size_t i = 0; i < GetParam().rateStatuses.size(); ++i) {
    const ControlResult result = bench.Control(kGetRate);
    EXPECT_EQ(result.status, GetParam().rateStatuses[i]) << "rate read " << i;
    EXPECT_EQ(result.completed, result.status != USBD_STATUS_CANCELED);
  }
  EXPECT_EQ(bench.Control(kGetValidity).status, GetParam().validityStatus);
  const FaultCounts counts = bench.device->Faults();
  EXPECT_EQ(counts, GetParam().counts);
}

FaultCounts Counted(uint64_t FaultCounts::*field, uint64_t value) {
  FaultCounts counts;
  counts.*field = value;
  return counts;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ControlFaults,
    ::testing::Values(
        ControlFault{"StallMatchingRequests",
                     [](FaultKnobs &k) { k.stallWhen = MatchEntityControl(kInternal, kSamFreq); },
                     {USBD_STATUS_STALL_PID, USBD_STATUS_STALL_PID}, USBD_STATUS_SUCCESS,
                     Counted(&FaultCounts::stalled, 2)},
        ControlFault{"NoReplyToTheNextTwo", [](FaultKnobs &k) { k.noReplyNext = 2; },
                     {USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_SUCCESS},
                     USBD_STATUS_SUCCESS, Counted(&FaultCounts::noReplies, 2)},
        ControlFault{"BusErrorOnTheNextOne", [](FaultKnobs &k) { k.errorNext = 1; },
                     {USBD_STATUS_CRC, USBD_STATUS_SUCCESS}, USBD_STATUS_SUCCESS, Counted(&FaultCounts::errors, 1)},
        ControlFault{"NeverFinishMatchingRequests",
                     [](FaultKnobs &k) { k.neverFinishWhen = MatchEntityControl(kInternal, kSamFreq); },
                     {USBD_STATUS_CANCELED}, USBD_STATUS_SUCCESS, Counted(&FaultCounts::neverFinished, 1)},
        ControlFault{"StallEveryStandardGetDescriptor",
                     [](FaultKnobs &k) { k.stallWhen = MatchStandardRequest(0x06); },
                     {USBD_STATUS_SUCCESS}, USBD_STATUS_SUCCESS, FaultCounts{}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SetInterfaceFault, RefusesTheNextAttemptsThenAccepts) {
  Bench bench(*FindModel("Alder"));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  bench.device->EditFaults([](FaultKnobs &k) { k.refuseSetInterfaceNext = 2; });
  EXPECT_EQ(bench.SetInterface(1, 9), USBD_STATUS_STALL_PID);  // invalid anyway: not a refusal
  EXPECT_EQ(bench.SetInterface(1, 1), USBD_STATUS_STALL_PID);
  EXPECT_EQ(bench.SetInterface(1, 1), USBD_STATUS_STALL_PID);
  EXPECT_EQ(bench.device->AlternateSetting(1), 0);
  EXPECT_EQ(bench.SetInterface(1, 1), USBD_STATUS_SUCCESS);
  EXPECT_EQ(bench.device->AlternateSetting(1), 1);
  EXPECT_EQ(bench.device->Faults().setInterfaceRefusals, 2u);
  EXPECT_TRUE(bench.device->Render().active);
}

struct IsoDrop {
  const char *name;
  uint8_t endpoint;
  int32_t droppedStatus;
  bool outLossVisible = false;
};

class IsoDrops : public ::testing::TestWithParam<IsoDrop> {};

// Alder streaming both ways at 48 kHz; ten transfers of eight packets. A lost
// OUT packet has no handshake, so the host sees it only on a controller that
// is told to show it.
TEST_P(IsoDrops, LoseEveryNthPacketWithABusErrorWhileTheClockRunsOn) {
  const IsoDrop &drop = GetParam();
  Bench bench(WithDrift("Alder", 0));
  bench.hc.SetOutLossVisible(drop.outLossVisible);
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  ASSERT_EQ(bench.SetInterface(drop.endpoint & 0x80 ? 2 : 1, 1), USBD_STATUS_SUCCESS);
  bench.device->EditFaults([&](FaultKnobs &k) {
    k.dropIsoEvery = 4;
    k.dropEndpoint = drop.endpoint;
  });
  std::vector<int32_t> statuses;
  IsoPump::Options options{drop.endpoint, 78};
  options.transferLimit = 10;
  auto sixFrames = [](uint8_t *packet, uint32_t) {
    std::fill_n(packet, 36, 0);
    return 36u;
  };
  IsoPump pump(bench, options, sixFrames, [&](const uint8_t *, uint32_t, int32_t status) { statuses.push_back(status); });
  pump.Start();
  ASSERT_TRUE(pump.RunToLimit(kTicksPerSecond));
  ASSERT_EQ(statuses.size(), 80u);
  for (size_t i = 0; i < statuses.size(); ++i) {
    EXPECT_EQ(statuses[i], (i + 1) % 4 == 0 ? drop.droppedStatus : USBD_STATUS_SUCCESS) << "packet " << i;
  }
  EXPECT_EQ(pump.LastTransferStatus(), USBD_STATUS_SUCCESS);
  EXPECT_EQ(bench.device->Faults().isoDropped, 20u);
  if (drop.endpoint & 0x80) {
    EXPECT_EQ(bench.device->Capture().frames, 59u * 6);  // the run's first packet carries no sample yet
  } else {
    EXPECT_EQ(bench.device->Render().framesReceived, 60u * 6);
  }
}

INSTANTIATE_TEST_SUITE_P(Endpoints, IsoDrops,
                         ::testing::Values(IsoDrop{"Capture", 0x81, USBD_STATUS_CRC},
                                           IsoDrop{"Render", 0x01, USBD_STATUS_SUCCESS},
                                           IsoDrop{"RenderLossShown", 0x01, USBD_STATUS_XACT_ERROR, true}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(IsoDropRange, LosesExactlyThePacketsOfItsMicroframesAndFailsAWholeLostTransfer) {
  Bench bench(WithDrift("Alder", 0));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  ASSERT_EQ(bench.SetInterface(2, 1), USBD_STATUS_SUCCESS);
  const uint32_t start = bench.hc.CurrentFrame() + 2;  // where the first ASAP transfer lands
  bench.device->EditFaults([&](FaultKnobs &k) {
    k.dropFromMicroframe = uint64_t{start + 2} * 8;  // all of the third transfer
    k.dropUntilMicroframe = uint64_t{start + 3} * 8;
  });
  std::vector<int32_t> transferStatuses;
  CaptureLog log{6, 3};
  IsoPump::Options options{0x81, 78};
  options.transferLimit = 5;
  IsoPump pump(bench, options, {}, log.Taker());
  pump.Start();
  ASSERT_TRUE(pump.RunToLimit(kTicksPerSecond));
  ASSERT_EQ(pump.FirstStartFrame(), start);
  ASSERT_EQ(log.statuses.size(), 40u);
  for (size_t i = 0; i < 40; ++i) {
    EXPECT_EQ(log.statuses[i], i / 8 == 2 ? USBD_STATUS_CRC : USBD_STATUS_SUCCESS) << "packet " << i;
  }
  EXPECT_EQ(bench.device->Faults().isoDropped, 8u);
  bench.device->EditFaults([](FaultKnobs &k) { k.dropIsoEvery = 1; });
  IsoPump::Options one = options;
  one.transferLimit = 1;
  IsoPump lost(bench, one, {}, {});
  lost.Start();
  ASSERT_TRUE(lost.RunToLimit(kTicksPerSecond));
  EXPECT_EQ(lost.LastTransferStatus(), USBD_STATUS_ISOCH_REQUEST_FAILED);
}

// A damaged packet still arrives: the host reports the whole packet's
// length with a CRC error, and its bytes are garbage. The clock runs on, so
// the next good packet carries the samples that follow.
TEST(IsoGarble, EveryNthCapturePacketArrivesFullOfGarbageWithACrcError) {
  Bench bench(WithDrift("Alder", 0));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  ASSERT_EQ(bench.SetInterface(2, 1), USBD_STATUS_SUCCESS);
  bench.device->EditFaults([](FaultKnobs &k) {
    k.garbleIsoInEvery = 5;
    k.garbleEndpoint = 0x81;
  });
  struct Seen {
    uint32_t length;
    int32_t status;
    bool garbage;
  };
  std::vector<Seen> seen;
  IsoPump::Options options{0x81, 78};
  options.transferLimit = 5;
  IsoPump pump(bench, options, {}, [&](const uint8_t *packet, uint32_t length, int32_t status) {
    const bool garbage = length > 0 && std::all_of(packet, packet + length, [](uint8_t b) { return b == 0x5A; });
    seen.push_back({length, status, garbage});
  });
  pump.Start();
  ASSERT_TRUE(pump.RunToLimit(kTicksPerSecond));
  ASSERT_EQ(seen.size(), 40u);
  for (size_t i = 0; i < seen.size(); ++i) {
    const bool damaged = (i + 1) % 5 == 0;
    EXPECT_EQ(seen[i].status, damaged ? USBD_STATUS_CRC : USBD_STATUS_SUCCESS) << "packet " << i;
    const uint32_t carried = i == 0 ? 0u : 36u;  // a run's first packet carries no sample yet
    EXPECT_EQ(seen[i].length, damaged ? 78u : carried) << "packet " << i;
    EXPECT_EQ(seen[i].garbage, damaged) << "packet " << i;
  }
  EXPECT_EQ(pump.LastTransferStatus(), USBD_STATUS_SUCCESS);
  EXPECT_EQ(bench.device->Faults().isoGarbled, 8u);
  EXPECT_EQ(bench.device->Capture().frames, 39u * 6);
}

class CorruptedConfiguration : public ::testing::TestWithParam<Corruption> {};

TEST_P(CorruptedConfiguration, IsServedInItsTwoReadsWhileTheDeviceKeepsWorking) {
  const DeviceDefinition built = Built(*FindModel("Larch"));
  Bench bench(built);
  bench.device->EditFaults([](FaultKnobs &k) { k.corruptConfiguration = GetParam(); });
  const ControlResult header = bench.GetDescriptor(2, 0, 0, 9);
  ASSERT_EQ(header.data.size(), 9u);
  const uint16_t total = static_cast<uint16_t>(header.data[2] | header.data[3] << 8);
  const ControlResult served = bench.GetDescriptor(2, 0, 0, total);
  const auto expected = CorruptConfiguration(built.descriptors.configuration, GetParam());
  ASSERT_TRUE(expected.has_value());
  EXPECT_EQ(served.data, *expected);
  EXPECT_NE(served.data, built.descriptors.configuration);
  EXPECT_FALSE(WalkConfiguration(served.data).Ok());
  EXPECT_EQ(bench.device->Faults().corruptConfigurationsServed, 2u);
  EXPECT_EQ(bench.GetDescriptor(1, 0, 0, 18).data, built.descriptors.device);
  EXPECT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  EXPECT_EQ(bench.SetInterface(1, 1), USBD_STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CorruptedConfiguration, ::testing::ValuesIn(kAllCorruptions),
                         [](const auto &info) {
                           std::string name = CorruptionName(info.param);
                           std::erase_if(name, [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); });
                           return name;
                         });

}  // namespace
}  // namespace runtime_test
