// A model that would enumerate with inconsistent descriptors is refused by
// the builder with the error that names the problem.
#include <gtest/gtest.h>

#include <functional>

#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"

namespace {

using namespace winsim::devices;

struct BadModel {
  const char *name;
  std::function<void(DeviceModel &)> spoil;
  BuildError expected;
};

void PrintTo(const BadModel &c, std::ostream *os) { *os << c.name; }

class ModelValidation : public ::testing::TestWithParam<BadModel> {};

TEST_P(ModelValidation, BuilderRefusesTheModel) {
  DeviceModel model = *FindModel("Larch");
  GetParam().spoil(model);
  const BuildResult result = BuildDevice(model);
  EXPECT_EQ(result.error, GetParam().expected)
      << "got " << BuildErrorName(result.error) << " (" << result.detail << ")";
  EXPECT_FALSE(result.detail.empty());
  EXPECT_TRUE(result.definition.descriptors.configuration.empty());
}

StreamingInterface &Render(DeviceModel &m) { return m.streams[0]; }
StreamingInterface &Capture(DeviceModel &m) { return m.streams[1]; }

const BadModel kBadModels[] = {
    {"NoClocks", [](DeviceModel &m) { m.clocks.clear(); }, BuildError::NoClock},
    {"ClockWithoutRates", [](DeviceModel &m) { m.clocks[1].rates.clear(); }, BuildError::NoClock},
    {"DuplicateEntityId", [](DeviceModel &m) { m.clocks[1].id = m.clocks[0].id; }, BuildError::BadEntity},
    {"SelectorInputIsNoClock", [](DeviceModel &m) { m.selector->inputs.push_back(0x77); }, BuildError::BadEntity},
    {"TerminalClockedFromNothing", [](DeviceModel &m) { m.inputTerminals[0].clockId = 0x77; }, BuildError::BadEntity},
    {"FeatureUnitSourceMissing", [](DeviceModel &m) { m.featureUnits[0].sourceId = 0x77; }, BuildError::BadEntity},
    {"FeatureUnitTooWide", [](DeviceModel &m) { m.featureUnits[0].channels = 62; }, BuildError::DescriptorTooLong},
    {"StreamWithoutChannels", [](DeviceModel &m) { Render(m).channels = 0; }, BuildError::BadStream},
    {"ChannelNamesShort", [](DeviceModel &m) { Render(m).channelNames.pop_back(); }, BuildError::BadStream},
    {"SubslotFive", [](DeviceModel &m) { Render(m).formats[0].subslotSize = 5; }, BuildError::BadStream},
    {"ResolutionAboveSubslot", [](DeviceModel &m) { Render(m).formats[1].bitResolution = 25; }, BuildError::BadStream},
    {"RenderOnInEndpoint", [](DeviceModel &m) { Render(m).endpoint = 0x84; }, BuildError::BadStream},
    {"TerminalLinkNotStreaming", [](DeviceModel &m) { Capture(m).terminalLink = m.inputTerminals[1].id; },
     BuildError::BadStream},
    {"SharedEndpoint", [](DeviceModel &m) { m.statusInterrupt->endpoint = Capture(m).endpoint; },
     BuildError::BadStream},
    {"ExplicitFeedbackOnOutEndpoint",
     [](DeviceModel &m) {
       Render(m).feedback = FeedbackKind::Explicit;
       Render(m).feedbackEndpoint = 0x05;
     },
     BuildError::BadStream},
    {"ImplicitFeedbackWithoutCapture", [](DeviceModel &m) { m.streams.pop_back(); }, BuildError::BadStream},
    {"PacketBeyondThreeTransactions", [](DeviceModel &m) { m.clocks[0].rates.push_back(384000); },
     BuildError::PacketTooLarge},
    {"FullSpeedAt192k", [](DeviceModel &m) { m.speed = UsbSpeed::Full; }, BuildError::PacketTooLarge},
    {"SeventeenMidiCables", [](DeviceModel &m) { m.midi->cables = 17; }, BuildError::BadMidi},
    {"MidiEndpointsSwapped", [](DeviceModel &m) { std::swap(m.midi->inEndpoint, m.midi->outEndpoint); },
     BuildError::BadMidi},
    {"NineInterfaces",
     [](DeviceModel &m) {
       for (int i = 0; i < 6; ++i) {
         StreamingInterface extra = Capture(m);
         extra.endpoint = static_cast<uint8_t>(0x88 + i);
         m.streams.push_back(extra);
       }
     },
     BuildError::TooManyInterfaces},
    {"ProductStringTooLong", [](DeviceModel &m) { m.product.assign(127, 'x'); }, BuildError::StringTable},
};

INSTANTIATE_TEST_SUITE_P(Models, ModelValidation, ::testing::ValuesIn(kBadModels),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ModelValidation, FirmwareUpdateModeNeedsNoAudioFunction) {
  DeviceModel model;
  model.productId = 0x8014;
  model.firmwareUpdateMode = true;
  EXPECT_TRUE(BuildDevice(model).Ok());
}

TEST(MaxPacketSize, HighSpeedSplitsLargePacketsIntoEqualTransactions) {
  EXPECT_EQ(EncodeMaxPacketSize(UsbSpeed::High, 1024), 1024);
  EXPECT_EQ(EncodeMaxPacketSize(UsbSpeed::High, 2000), 1000 | 1 << 11);
  EXPECT_EQ(EncodeMaxPacketSize(UsbSpeed::High, 2049), 683 | 2 << 11);
  EXPECT_EQ(EncodeMaxPacketSize(UsbSpeed::High, 3073), std::nullopt);
  EXPECT_EQ(EncodeMaxPacketSize(UsbSpeed::Full, 1023), 1023);
  EXPECT_EQ(EncodeMaxPacketSize(UsbSpeed::Full, 1024), std::nullopt);
  EXPECT_EQ(DecodeMaxPacketBytes(683 | 2 << 11), 2049u);
}

TEST(MaxPacketSize, CarriesTheRoundedUpRatePlusOneSample) {
  // 44.1 kHz at high speed: 5.5125 samples per microframe, so 6 + 1.
  EXPECT_EQ(MaxPacketBytes(UsbSpeed::High, 44100, 2, 3), 7u * 6);
  EXPECT_EQ(MaxPacketBytes(UsbSpeed::High, 48000, 2, 3), 7u * 6);
  EXPECT_EQ(MaxPacketBytes(UsbSpeed::Full, 48000, 2, 3), 49u * 6);
  EXPECT_EQ(MaxPacketBytes(UsbSpeed::High, 192000, 20, 4), 25u * 80);
}

}  // namespace
