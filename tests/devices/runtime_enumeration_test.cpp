// A simulated interface enumerates on the bus with exactly the descriptors
// its model builds, truncated as wLength asks, and keeps the USB 2.0 rules
// for configurations and alternate settings.
#include <algorithm>

#include "devices/runtime_harness.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/raw_model.h"

namespace runtime_test {
namespace {

std::vector<uint8_t> Prefix(const std::vector<uint8_t> &bytes, size_t length) {
  return {bytes.begin(), bytes.begin() + static_cast<long long>(std::min(length, bytes.size()))};
}

struct Variant {
  std::string name;
  DeviceModel model;
};

std::vector<Variant> Variants() {
  std::vector<Variant> variants;
  for (const DeviceModel &model : Catalog()) variants.push_back({model.name, model});
  variants.push_back({"AlderFullSpeed", FullSpeedVariant(*FindModel("Alder"))});
  variants.push_back({"LarchFirmwareUpdate", FirmwareUpdateVariant(*FindModel("Larch"))});
  return variants;
}

class Enumeration : public ::testing::TestWithParam<Variant> {};

TEST_P(Enumeration, DeviceAndConfigurationDescriptorsAreTheBuiltBytesTruncatedToWLength) {
  const DeviceDefinition built = Built(GetParam().model);
  Bench bench(built);
  const std::vector<uint8_t> &config = built.descriptors.configuration;
  const struct {
    uint8_t type;
    uint16_t length;
    const std::vector<uint8_t> &full;
  } reads[] = {{1, 18, built.descriptors.device}, {1, 8, built.descriptors.device}, {1, 64, built.descriptors.device},
               {2, 9, config}, {2, static_cast<uint16_t>(config.size()), config}, {2, 0xFFFF, config},
               {2, 4, config}};
  for (const auto &read : reads) {
    SCOPED_TRACE("type " + std::to_string(read.type) + " wLength " + std::to_string(read.length));
    const ControlResult result = bench.GetDescriptor(read.type, 0, 0, read.length);
    EXPECT_EQ(result.status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(result.data, Prefix(read.full, read.length));
  }
}

TEST_P(Enumeration, EveryStringIsServedInUsEnglishAndTheLanguageListAtIndexZero) {
  const DeviceDefinition built = Built(GetParam().model);
  Bench bench(built);
  ASSERT_TRUE(built.descriptors.String(0) != nullptr);
  for (const auto &[index, descriptor] : built.descriptors.strings) {
    SCOPED_TRACE("string " + std::to_string(index));
    const uint16_t language = index == 0 ? 0 : 0x0409;
    EXPECT_EQ(bench.GetDescriptor(3, index, language, 255).data, descriptor);
    EXPECT_EQ(bench.GetDescriptor(3, index, language, 2).data, Prefix(descriptor, 2));
  }
  EXPECT_EQ(bench.GetDescriptor(3, 0, 0, 255).data, (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
}

INSTANTIATE_TEST_SUITE_P(CatalogModels, Enumeration, ::testing::ValuesIn(Variants()),
                         [](const auto &info) { return info.param.name; });

struct RefusedRead {
  const char *name;
  uint8_t type;
  uint8_t index;
  uint16_t language;
};

class RefusedDescriptor : public ::testing::TestWithParam<RefusedRead> {};

TEST_P(RefusedDescriptor, Stalls) {
  Bench bench(*FindModel("Larch"));
  const RefusedRead &read = GetParam();
  EXPECT_EQ(bench.GetDescriptor(read.type, read.index, read.language, 255).status, USBD_STATUS_STALL_PID);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, RefusedDescriptor,
    ::testing::Values(RefusedRead{"StringInGerman", 3, 2, 0x0407}, RefusedRead{"StringWithoutLanguage", 3, 2, 0},
                      RefusedRead{"StringNobodyReferences", 3, 250, 0x0409},
                      RefusedRead{"SecondConfiguration", 2, 1, 0}, RefusedRead{"DeviceQualifier", 6, 0, 0},
                      RefusedRead{"OtherSpeedConfiguration", 7, 0, 0}, RefusedRead{"InterfaceDescriptor", 4, 0, 0}),
    [](const auto &info) { return std::string(info.param.name); });

struct ConfiguredRequest {
  const char *name;
  SetupPacket setup;
};

class NeedsConfiguration : public ::testing::TestWithParam<ConfiguredRequest> {};

TEST_P(NeedsConfiguration, StallsBeforeSetConfigurationAndSucceedsAfter) {
  Bench bench(*FindModel("Larch"));
  EXPECT_EQ(bench.Control(GetParam().setup).status, USBD_STATUS_STALL_PID);
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  EXPECT_EQ(bench.Control(GetParam().setup).status, USBD_STATUS_SUCCESS);
}

// Larch: AudioControl 0 with status endpoint 0x83, streaming 1 (render) and
// 2 (capture), MIDI 3 with bulk 0x02 / 0x82; internal clock 0x28.
INSTANTIATE_TEST_SUITE_P(
    Requests, NeedsConfiguration,
    ::testing::Values(ConfiguredRequest{"SetInterface", {0x01, 0x0B, 1, 1, 0}},
                      ConfiguredRequest{"GetInterface", {0x81, 0x0A, 0, 2, 1}},
                      ConfiguredRequest{"InterfaceStatus", {0x81, 0x00, 0, 3, 2}},
                      ConfiguredRequest{"MidiEndpointStatus", {0x82, 0x00, 0, 0x82, 2}},
                      ConfiguredRequest{"ClearHaltOnMidiOut", {0x02, 0x01, 0, 0x02, 0}},
                      ConfiguredRequest{"ClockRate", {kClassGet, kCur, kSamFreq << 8, 0x2800, 4}},
                      ConfiguredRequest{"ClockRange", {kClassGet, kRange, kSamFreq << 8, 0x2800, 2}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(DeviceConfiguration, FollowsSetConfigurationAndRefusesValuesItDoesNotHave) {
  Bench bench(*FindModel("Rowan"));
  const SetupPacket getConfiguration{0x80, 0x08, 0, 0, 1};
  EXPECT_EQ(bench.Control(getConfiguration).data, std::vector<uint8_t>{0});
  EXPECT_EQ(bench.SetConfiguration(2), USBD_STATUS_STALL_PID);
  EXPECT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  EXPECT_EQ(bench.Control(getConfiguration).data, std::vector<uint8_t>{1});
  EXPECT_EQ(bench.SetConfiguration(0), USBD_STATUS_SUCCESS);
  EXPECT_EQ(bench.Control(getConfiguration).data, std::vector<uint8_t>{0});
  EXPECT_EQ(bench.device->Configuration(), 0);
}

TEST(AlternateSettings, UnknownInterfacesAndSettingsStallAndGetInterfaceReportsTheSelection) {
  Bench bench(*FindModel("Alder"));  // streaming interfaces 1 and 2 with alternate settings 0..2
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  EXPECT_EQ(bench.SetInterface(1, 3), USBD_STATUS_STALL_PID);
  EXPECT_EQ(bench.SetInterface(7, 1), USBD_STATUS_STALL_PID);
  EXPECT_EQ(bench.SetInterface(0, 1), USBD_STATUS_STALL_PID);
  EXPECT_EQ(bench.SetInterface(2, 2), USBD_STATUS_SUCCESS);
  EXPECT_EQ(bench.Control({0x81, 0x0A, 0, 2, 1}).data, std::vector<uint8_t>{2});
  EXPECT_EQ(bench.Control({0x81, 0x0A, 0, 1, 1}).data, std::vector<uint8_t>{0});
  EXPECT_EQ(bench.Control({0x81, 0x0A, 0, 9, 1}).status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(bench.device->Capture().subslot, 2u);
}

TEST(AlternateSettings, StatusAndHaltRequestsOnlyReachEndpointsOfTheSelectedSetting) {
  Bench bench(*FindModel("Alder"));  // capture data endpoint 0x81 exists in alternate settings 1 and 2 only
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  const SetupPacket status{0x82, 0x00, 0, 0x81, 2};
  const SetupPacket clearHalt{0x02, 0x01, 0, 0x81, 0};
  EXPECT_EQ(bench.Control(status).status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(bench.Control(clearHalt).status, USBD_STATUS_STALL_PID);
  ASSERT_EQ(bench.SetInterface(2, 1), USBD_STATUS_SUCCESS);
  EXPECT_EQ(bench.Control(status).data, (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(bench.Control(clearHalt).status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(bench.Control({0x80, 0x00, 0, 0, 2}).data, (std::vector<uint8_t>{0, 0}));
}

// A capture stream is running; each way of leaving the streaming setting ends
// it, and the endpoint is gone for the next packets. The device acts on a
// request when it arrives, so packets of the request's own duration may
// already go unanswered.
struct StreamEnd {
  const char *name;
  std::function<void(Bench &)> end;
};

class StreamingStops : public ::testing::TestWithParam<StreamEnd> {};

TEST_P(StreamingStops, WhenTheStreamingSettingIsLeft) {
  Bench bench(*FindModel("Alder"));
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  ASSERT_EQ(bench.SetInterface(2, 1), USBD_STATUS_SUCCESS);
  CaptureLog log{6, 3};
  IsoPump::Options options{0x81, 78};
  IsoPump pump(bench, options, {}, log.Taker());
  pump.Start();
  bench.machine.RunFor(20 * kTicksPerMillisecond);
  ASSERT_TRUE(bench.device->Capture().active);
  GetParam().end(bench);
  EXPECT_FALSE(bench.device->Capture().active);
  const size_t before = log.statuses.size();
  bench.machine.RunFor(20 * kTicksPerMillisecond);
  pump.Stop();
  ASSERT_GT(log.statuses.size(), before + 8);
  EXPECT_EQ(log.statuses.back(), USBD_STATUS_DEV_NOT_RESPONDING);
  const auto streamed = log.statuses.begin() + static_cast<std::ptrdiff_t>(before);
  EXPECT_NE(std::find(log.statuses.begin(), streamed, USBD_STATUS_SUCCESS), streamed) << "it streamed before";
}

INSTANTIATE_TEST_SUITE_P(
    Ways, StreamingStops,
    ::testing::Values(StreamEnd{"AlternateSettingZero", [](Bench &b) { EXPECT_EQ(b.SetInterface(2, 0), 0); }},
                      StreamEnd{"Deconfigure", [](Bench &b) { EXPECT_EQ(b.SetConfiguration(0), 0); }},
                      StreamEnd{"Reconfigure", [](Bench &b) { EXPECT_EQ(b.SetConfiguration(1), 0); }},
                      StreamEnd{"BusReset", [](Bench &b) { b.device->BusReset(b.machine.Now()); }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(VendorRequests, StallUnlessATestAnswersThem) {
  Bench bench(*FindModel("Maple"));
  const SetupPacket vendor{0xC0, 0x42, 0x1234, 0, 4};
  EXPECT_EQ(bench.Control(vendor).status, USBD_STATUS_STALL_PID);
  bench.device->SetVendorHandler([](const SetupPacket &setup, uint8_t *data) -> usb::TransferOutcome {
    if (setup.bRequest != 0x42) return {Handshake::Stall, 0, 0};
    data[0] = 0xAB;
    return {Handshake::Ack, 1, 0};
  });
  const ControlResult answered = bench.Control(vendor);
  EXPECT_EQ(answered.status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(answered.data, std::vector<uint8_t>{0xAB});
  EXPECT_EQ(bench.Control({0xC0, 0x43, 0, 0, 4}).status, USBD_STATUS_STALL_PID);
}

TEST(RawDevice, ServesItsCapturedBytesAndStreamsAsTheyDescribe) {
  const DeviceDefinition built = Built(*FindModel("Cedar"));
  RawParseResult raw = ParseRawDevice(
      RawDescriptors{built.descriptors.device, built.descriptors.configuration, built.descriptors.strings},
      RawParseOptions{"Captured", {48000}, UsbSpeed::High});
  ASSERT_TRUE(raw.Ok()) << raw.detail;
  Bench bench(raw.definition);
  EXPECT_EQ(bench.GetDescriptor(2, 0, 0, 0xFFFF).data, built.descriptors.configuration);
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  ASSERT_EQ(bench.SetInterface(1, 2), USBD_STATUS_SUCCESS);  // 8 channels of 3 bytes
  CaptureLog log{24, 3};
  IsoPump::Options options{0x81, 1024};
  options.transferLimit = 2;
  IsoPump pump(bench, options, {}, log.Taker());
  pump.Start();
  ASSERT_TRUE(pump.RunToLimit(kTicksPerSecond));
  std::vector<uint32_t> sizes(16, 6);
  sizes[0] = 0;  // a run's first packet: no sample was complete before it
  EXPECT_EQ(log.framesPerPacket, sizes);
}

}  // namespace
}  // namespace runtime_test
