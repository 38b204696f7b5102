// A user's own interface, described in the text form, becomes a device the
// simulator can run; mistakes in the text are reported with their line.
#include <gtest/gtest.h>

#include <string>

#include "winsim/devices/raw_text.h"

namespace {

using namespace winsim::devices;

// The source tree's absolute path comes from the build: __FILE__ may be
// relative to wherever the compiler ran.
std::string DataFile(const char *name) { return std::string(QAV_SOURCE_DIR) + "/tests/devices/data/" + name; }

TEST(RawText, ThirdPartyCaptureBecomesARunnableDevice) {
  const RawTextResult text = LoadRawDescriptorFile(DataFile("third_party_uac2.txt"));
  ASSERT_TRUE(text.ok) << text.error;
  EXPECT_EQ(text.rates, (std::vector<uint32_t>{44100, 48000, 96000}));
  const RawParseResult parsed = ParseRawDevice(text.raw, {"", text.rates});
  ASSERT_TRUE(parsed.Ok()) << ParseErrorName(parsed.error) << ": " << parsed.detail;
  const DeviceModel &m = parsed.definition.model;
  EXPECT_EQ(m.vendorId, 0x1209);
  EXPECT_EQ(m.name, "Test UAC2");
  EXPECT_EQ(m.manufacturer, "Example Audio");
  ASSERT_EQ(m.clocks.size(), 1u);
  EXPECT_EQ(m.clocks[0].id, 0x10);
  EXPECT_EQ(m.clocks[0].name, "");
  EXPECT_EQ(m.clocks[0].rates, text.rates);
  ASSERT_EQ(m.streams.size(), 2u);
  const StreamingInterface &render = m.streams[0];
  EXPECT_EQ(render.direction, StreamDirection::Render);
  EXPECT_EQ(render.channels, 2);
  EXPECT_EQ(render.feedback, FeedbackKind::Explicit);
  EXPECT_EQ(render.feedbackEndpoint, 0x81);
  ASSERT_EQ(render.formats.size(), 2u);
  EXPECT_EQ(render.formats[0].subslotSize, 3);
  EXPECT_EQ(render.formats[1].bitResolution, 16);
  const StreamingInterface &capture = m.streams[1];
  EXPECT_EQ(capture.direction, StreamDirection::Capture);
  EXPECT_EQ(capture.channels, 1);
  EXPECT_EQ(capture.endpoint, 0x82);
  ASSERT_TRUE(m.statusInterrupt.has_value());
  EXPECT_EQ(m.statusInterrupt->endpoint, 0x85);
  EXPECT_FALSE(m.midi.has_value());
  EXPECT_EQ(parsed.definition.descriptors.configuration, text.raw.configuration);
}

struct BadText {
  const char *name;
  const char *text;
  const char *error;
};

void PrintTo(const BadText &b, std::ostream *os) { *os << b.name; }

class RawTextRefuses : public ::testing::TestWithParam<BadText> {};

TEST_P(RawTextRefuses, NamingTheLine) {
  const RawTextResult result = ParseRawDescriptorText(GetParam().text);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, GetParam().error);
}

const BadText kBadTexts[] = {
    {"UnknownKey", "device 12\nconfig 09\n", "line 2: unknown key config"},
    {"ThreeDigitByte", "# c\n\ndevice 12 100\n", "line 3: not a hexadecimal byte: 100"},
    {"NotHex", "configuration 09 zz\n", "line 1: not a hexadecimal byte: zz"},
    {"StringIndexTooLarge", "string 256 04 03\n", "line 1: string needs an index 0-255"},
    {"StringWithoutIndex", "string\n", "line 1: string needs an index 0-255"},
    {"RateNotANumber", "rates 44100 fast\n", "line 1: not a rate: fast"},
};

INSTANTIATE_TEST_SUITE_P(Texts, RawTextRefuses, ::testing::ValuesIn(kBadTexts),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(RawText, RepeatedLinesAppendAndCommentsAreIgnored) {
  const RawTextResult result = ParseRawDescriptorText("# x\r\ndevice 12 1\r\n  device a\nstring 3 4 3\n");
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.raw.device, (std::vector<uint8_t>{0x12, 0x01, 0x0A}));
  EXPECT_EQ(result.raw.strings.at(3), (std::vector<uint8_t>{4, 3}));
  EXPECT_FALSE(LoadRawDescriptorFile(DataFile("missing.txt")).ok);
}

}  // namespace
