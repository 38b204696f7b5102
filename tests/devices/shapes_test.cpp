// The shapes the test models give real interfaces' descriptors and
// requests: rate subranges (continuous ones included) on the wire and as the
// clock's accepted rates, fewer channels per setting at higher rates, and
// interfaces outside the audio function's association; the model checks
// refuse shapes that cannot be.
#include "devices/runtime_harness.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/devices/interface_layout.h"

namespace runtime_test {
namespace {

constexpr uint8_t kInternal = 0x28;

uint32_t U32(const std::vector<uint8_t> &bytes, size_t at) {
  if (at + 4 > bytes.size()) return 0xFFFFFFFF;
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

std::vector<uint8_t> Le32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

TEST(Shapes, WillowAnswersRangeWithItsSeventeenSubrangesAndRunsInsideTheContinuousOne) {
  const DeviceModel &model = *FindModel("Willow");
  Bench bench(model);
  ASSERT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
  const ControlResult range = bench.ClassGet(kRange, kInternal, kSamFreq, 2 + 12 * 17);
  ASSERT_EQ(range.data.size(), 2u + 12 * 17);
  EXPECT_EQ(range.data[0], 17);
  const auto &subranges = model.clocks[0].subranges;
  for (size_t i = 0; i < 17; ++i) {
    EXPECT_EQ(U32(range.data, 2 + 12 * i), subranges[i].minimum);
    EXPECT_EQ(U32(range.data, 6 + 12 * i), subranges[i].maximum);
    EXPECT_EQ(U32(range.data, 10 + 12 * i), subranges[i].resolution);
  }
  struct Write {
    uint32_t rate;
    int32_t status;
  };
  for (const Write &w : {Write{11025, USBD_STATUS_SUCCESS}, Write{17000, USBD_STATUS_SUCCESS},
                         Write{384000, USBD_STATUS_SUCCESS}, Write{30000, USBD_STATUS_STALL_PID},
                         Write{7999, USBD_STATUS_STALL_PID}}) {
    EXPECT_EQ(bench.ClassSet(kInternal, kSamFreq, Le32(w.rate)), w.status) << w.rate;
  }
  EXPECT_EQ(U32(bench.ClassGet(kCur, kInternal, kSamFreq, 4).data, 0), 384000u);
}

// Channels and the largest packet of each streaming setting, as enumerated.
TEST(Shapes, SettingsCarryFewerChannelsAtHigherRates) {
  struct Case {
    const char *model;
    uint8_t interfaceNumber;
    std::vector<uint8_t> channels;
    std::vector<uint32_t> maxPacketBytes;
  };
  const std::vector<Case> cases = {
      {"Linden", 1, {20, 16, 12}, {20 * 4 * 7, 16 * 4 * 13, 12 * 4 * 25}},
      {"Linden", 2, {18, 14, 10}, {18 * 4 * 7, 14 * 4 * 13, 10 * 4 * 25}},
      {"Poplar", 1, {8, 4, 2}, {8 * 3 * 7, 4 * 3 * 13, 2 * 3 * 25}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.model) + " interface " + std::to_string(c.interfaceNumber));
    const BuildResult built = BuildDevice(*FindModel(c.model));
    ASSERT_TRUE(built.Ok()) << built.detail;
    const InterfaceLayout layout = ReadInterfaceLayout(built.definition.descriptors.configuration, UsbSpeed::High);
    const InterfaceInfo *itf = layout.Find(c.interfaceNumber);
    ASSERT_NE(itf, nullptr);
    ASSERT_EQ(itf->alternates.size(), 1 + c.channels.size());
    for (size_t i = 0; i < c.channels.size(); ++i) {
      const AltSetting &alt = itf->alternates[i + 1];
      EXPECT_EQ(alt.channels, c.channels[i]);
      ASSERT_NE(alt.DataEndpoint(), nullptr);
      EXPECT_EQ(alt.DataEndpoint()->maxPacketBytes, c.maxPacketBytes[i]);
    }
  }
}

// Holly: six interfaces, the association covering the audio function's
// four; a vendor interface with a bulk pair and a run-time DFU interface
// after it.
TEST(Shapes, InterfacesAfterTheAssociationAreOutsideIt) {
  const BuildResult built = BuildDevice(*FindModel("Holly"));
  ASSERT_TRUE(built.Ok()) << built.detail;
  const std::vector<uint8_t> &config = built.definition.descriptors.configuration;
  EXPECT_EQ(config[4], 6);
  std::vector<std::vector<uint8_t>> interfaces;
  uint8_t associated = 0;
  for (size_t pos = 9; pos + 2 <= config.size() && config[pos] >= 2; pos += config[pos]) {
    if (config[pos + 1] == 0x0B) associated = config[pos + 3];
    if (config[pos + 1] == 0x04 && config[pos + 3] == 0) {
      interfaces.push_back({config[pos + 2], config[pos + 4], config[pos + 5], config[pos + 6], config[pos + 7]});
    }
  }
  EXPECT_EQ(associated, 4);
  ASSERT_EQ(interfaces.size(), 6u);
  EXPECT_EQ(interfaces[4], (std::vector<uint8_t>{4, 2, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(interfaces[5], (std::vector<uint8_t>{5, 0, 0xFE, 0x01, 0x01}));
  Bench bench(*FindModel("Holly"));
  EXPECT_EQ(bench.SetConfiguration(1), USBD_STATUS_SUCCESS);
}

TEST(Shapes, ModelChecksRefuseShapesThatCannotBe) {
  struct Case {
    const char *what;
    std::function<void(DeviceModel &)> change;
    BuildError error;
  };
  const std::vector<Case> cases = {
      {"a setting with more channels than its stream",
       [](DeviceModel &m) { m.streams[0].formats[0].channels = 9; }, BuildError::BadStream},
      {"a reversed subrange", [](DeviceModel &m) { m.clocks[0].subranges = {{96000, 44100, 1}}; }, BuildError::NoClock},
      {"a subrange from zero", [](DeviceModel &m) { m.clocks[0].subranges = {{0, 48000, 1}}; }, BuildError::NoClock},
      {"no rates and no subranges", [](DeviceModel &m) { m.clocks[0].rates.clear(); }, BuildError::NoClock},
      {"a vendor interface on a used endpoint",
       [](DeviceModel &m) {
         m.extraInterfaces = {ExtraInterface::VendorSpecific};
         m.streams[1].endpoint = kVendorInterfaceInEndpoint;
       },
       BuildError::BadStream},
      {"nine interfaces",
       [](DeviceModel &m) { m.extraInterfaces.assign(6, ExtraInterface::DfuRuntime); }, BuildError::TooManyInterfaces},
  };
  for (const Case &c : cases) {
    DeviceModel model = *FindModel("Poplar");
    c.change(model);
    EXPECT_EQ(BuildDevice(model).error, c.error) << c.what;
  }
}

}  // namespace
}  // namespace runtime_test
