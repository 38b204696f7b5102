#include <gtest/gtest.h>

#include "tools/qav/descriptor_dump.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/devices/descriptor_corruption.h"

using namespace winsim::devices;

namespace {

DeviceDefinition Build(const char *name) {
  const DeviceModel *model = FindModel(name);
  EXPECT_NE(model, nullptr);
  BuildResult result = BuildDevice(*model);
  EXPECT_TRUE(result.Ok()) << result.detail;
  return result.definition;
}

qav::StringLookup StringsOf(const DeviceDefinition &definition) {
  return [&definition](uint8_t index) -> std::optional<std::string> {
    const std::vector<uint8_t> *bytes = definition.descriptors.String(index);
    if (bytes == nullptr) return std::nullopt;
    return qav::DecodeStringDescriptor(*bytes);
  };
}

TEST(DescriptorDump, LarchShowsItsClocksSelectorStreamsAndMidi) {
  DeviceDefinition larch = Build("Larch");
  std::string text = qav::DumpConfiguration(larch.descriptors.configuration, StringsOf(larch));
  EXPECT_EQ(text.find("malformed"), std::string::npos) << text;
  for (const char *expected : {"Clock Selector 0x30: inputs 0x28 0x29 0x2A", "Audio Control (01/01/20)",
                               "Audio Streaming (01/02/20)", "MIDI Streaming (01/03/00)", "AS General:",
                               "Format Type 1: subslot", "isochronous asynchronous", "MIDI IN Jack"}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  }
  std::string device = qav::DumpDeviceDescriptor(larch.descriptors.device, StringsOf(larch));
  EXPECT_NE(device.find("PID 8014"), std::string::npos) << device;
}

TEST(DescriptorDump, EveryCatalogModelDecodesWithoutComplaint) {
  for (const DeviceModel &model : Catalog()) {
    BuildResult result = BuildDevice(model);
    ASSERT_TRUE(result.Ok()) << model.name;
    std::string text = qav::DumpConfiguration(result.definition.descriptors.configuration,
                                              StringsOf(result.definition));
    EXPECT_EQ(text.find("malformed"), std::string::npos) << model.name << "\n" << text;
    EXPECT_EQ(text.find("missing"), std::string::npos) << model.name << "\n" << text;
  }
}

struct CorruptCase {
  Corruption kind;
  const char *expected;
};

class CorruptDump : public ::testing::TestWithParam<CorruptCase> {};

TEST_P(CorruptDump, MalformedConfigurationStopsWithAClearLineInsteadOfReadingOutOfBounds) {
  DeviceDefinition larch = Build("Larch");
  std::optional<std::vector<uint8_t>> bad = CorruptConfiguration(larch.descriptors.configuration, GetParam().kind);
  ASSERT_TRUE(bad.has_value());
  // An exact-size heap copy: ASan catches any read past the end.
  std::vector<uint8_t> exact(bad->begin(), bad->end());
  std::string text = qav::DumpConfiguration(exact, StringsOf(larch));
  EXPECT_NE(text.find(GetParam().expected), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Kinds, CorruptDump,
                         ::testing::Values(CorruptCase{Corruption::ZeroLength, "malformed at offset"},
                                           CorruptCase{Corruption::OverlongLength, "clock source has bLength 255, must be 8"},
                                           CorruptCase{Corruption::TruncatedTotalLength, "malformed at offset"}));

TEST(DescriptorDump, TruncatedReadIsReportedAgainstWTotalLength) {
  DeviceDefinition alder = Build("Alder");
  std::vector<uint8_t> first(alder.descriptors.configuration.begin(), alder.descriptors.configuration.begin() + 40);
  std::string text = qav::DumpConfiguration(first, StringsOf(alder));
  EXPECT_NE(text.find("exceeds the 40 bytes read"), std::string::npos) << text;
}

TEST(DescriptorDump, StringDescriptorsDecodeToUtf8AndRejectBadLengths) {
  const uint8_t name[] = {10, 3, 'Q', 0, 0xE9, 0, 0x3D, 0xD8, 0xB5, 0xDE};  // "Qé𝚵"-like surrogate pair
  std::optional<std::string> text = qav::DecodeStringDescriptor(name);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, "Q\xC3\xA9\xF0\x9F\x9A\xB5");
  const uint8_t odd[] = {5, 3, 'Q', 0, 0};
  EXPECT_FALSE(qav::DecodeStringDescriptor(odd).has_value());
  const uint8_t overlong[] = {20, 3, 'Q', 0};
  EXPECT_FALSE(qav::DecodeStringDescriptor(overlong).has_value());
}

}  // namespace
