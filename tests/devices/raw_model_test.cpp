// A device made from captured descriptor bytes serves them unchanged and
// simulates what they describe; bytes it cannot make sense of are refused
// with the error that names the problem, never read out of bounds.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/devices/raw_model.h"
#include "devices/config_reshape.h"

namespace {

using namespace winsim::devices;

RawDescriptors RawOf(const DeviceModel &model) {
  const BuildResult built = BuildDevice(model);
  EXPECT_TRUE(built.Ok());
  const DescriptorSet &d = built.definition.descriptors;
  return RawDescriptors{d.device, d.configuration, d.strings};
}

void ExpectSameStreams(const DeviceModel &expected, const DeviceModel &actual) {
  ASSERT_EQ(actual.streams.size(), expected.streams.size());
  for (size_t i = 0; i < expected.streams.size(); ++i) {
    SCOPED_TRACE("stream " + std::to_string(i));
    const StreamingInterface &e = expected.streams[i];
    const StreamingInterface &a = actual.streams[i];
    EXPECT_EQ(a.direction, e.direction);
    EXPECT_EQ(a.channels, e.channels);
    EXPECT_EQ(a.channelConfig, e.channelConfig);
    EXPECT_EQ(a.channelNames, e.channelNames);
    EXPECT_EQ(a.endpoint, e.endpoint);
    EXPECT_EQ(a.terminalLink, e.terminalLink);
    EXPECT_EQ(a.feedback, e.feedback);
    EXPECT_EQ(a.feedbackEndpoint, e.feedbackEndpoint);
    ASSERT_EQ(a.formats.size(), e.formats.size());
    for (size_t f = 0; f < e.formats.size(); ++f) {
      EXPECT_EQ(a.formats[f].subslotSize, e.formats[f].subslotSize);
      EXPECT_EQ(a.formats[f].bitResolution, e.formats[f].bitResolution);
      EXPECT_EQ(a.formats[f].maxRate, e.formats[f].maxRate);
    }
  }
}

TEST(RawModel, ReproducesEveryCatalogModelFromItsOwnBytes) {
  for (const DeviceModel &model : Catalog()) {
    SCOPED_TRACE(model.name);
    const RawParseResult parsed = ParseRawDevice(RawOf(model), {model.name, model.clocks.front().rates});
    ASSERT_TRUE(parsed.Ok()) << ParseErrorName(parsed.error) << ": " << parsed.detail;
    const DeviceModel &m = parsed.definition.model;
    EXPECT_EQ(m.vendorId, model.vendorId);
    EXPECT_EQ(m.productId, model.productId);
    EXPECT_EQ(m.product, model.product);
    EXPECT_EQ(m.category, model.category);
    ExpectSameStreams(model, m);
    ASSERT_EQ(m.clocks.size(), model.clocks.size());
    for (size_t c = 0; c < model.clocks.size(); ++c) {
      EXPECT_EQ(m.clocks[c].id, model.clocks[c].id);
      EXPECT_EQ(m.clocks[c].type, model.clocks[c].type);
      EXPECT_EQ(m.clocks[c].name, model.clocks[c].name);
      EXPECT_EQ(m.clocks[c].rates, model.clocks.front().rates);
    }
    EXPECT_EQ(m.selector.has_value(), model.selector.has_value());
    if (model.selector) {
      EXPECT_EQ(m.selector->inputs, model.selector->inputs);
    }
    EXPECT_EQ(m.statusInterrupt.has_value(), model.statusInterrupt.has_value());
    if (model.statusInterrupt) {
      EXPECT_EQ(m.statusInterrupt->endpoint, model.statusInterrupt->endpoint);
    }
    ASSERT_EQ(m.midi.has_value(), model.midi.has_value());
    if (model.midi) {
      EXPECT_EQ(m.midi->cables, model.midi->cables);
      EXPECT_EQ(m.midi->inEndpoint, model.midi->inEndpoint);
      EXPECT_EQ(m.midi->outEndpoint, model.midi->outEndpoint);
    }
    EXPECT_EQ(m.featureUnits.size(), model.featureUnits.size());
    EXPECT_TRUE(parsed.definition.fromRawBytes);
  }
}

TEST(RawModel, ServesTheCapturedBytesUnchanged) {
  const RawDescriptors raw = RawOf(*FindModel("Rowan"));
  const RawParseResult parsed = ParseRawDevice(raw);
  ASSERT_TRUE(parsed.Ok());
  EXPECT_EQ(parsed.definition.descriptors.device, raw.device);
  EXPECT_EQ(parsed.definition.descriptors.configuration, raw.configuration);
  EXPECT_EQ(parsed.definition.descriptors.strings, raw.strings);
}

TEST(RawModel, ClocksRunAt44100And48000UnlessRatesAreGiven) {
  const RawDescriptors raw = RawOf(*FindModel("Birch"));
  const RawParseResult plain = ParseRawDevice(raw);
  ASSERT_TRUE(plain.Ok());
  for (const ClockSource &c : plain.definition.model.clocks) EXPECT_EQ(c.rates, (std::vector<uint32_t>{44100, 48000}));
  EXPECT_EQ(plain.definition.model.behaviour.initialRate, 48000u);
  EXPECT_EQ(plain.definition.model.name, "Tessarin Birch");

  const RawParseResult given = ParseRawDevice(raw, {"Mine", {96000, 192000}});
  ASSERT_TRUE(given.Ok());
  EXPECT_EQ(given.definition.model.clocks[1].rates, (std::vector<uint32_t>{96000, 192000}));
  EXPECT_EQ(given.definition.model.behaviour.initialRate, 96000u);
  EXPECT_EQ(given.definition.model.name, "Mine");
}

TEST(RawModel, TrailingBytesBeyondTotalLengthAreNotServed) {
  RawDescriptors raw = RawOf(*FindModel("Alder"));
  const size_t total = raw.configuration.size();
  raw.configuration.insert(raw.configuration.end(), {0xDE, 0xAD});
  const RawParseResult parsed = ParseRawDevice(raw);
  ASSERT_TRUE(parsed.Ok());
  EXPECT_EQ(parsed.definition.descriptors.configuration.size(), total);
}

TEST(RawModel, FirmwareUpdateDeviceNeedsNoAudioFunction) {
  const RawParseResult parsed = ParseRawDevice(RawOf(FirmwareUpdateVariant(*FindModel("Maple"))));
  ASSERT_TRUE(parsed.Ok()) << parsed.detail;
  EXPECT_TRUE(parsed.definition.model.firmwareUpdateMode);
  EXPECT_TRUE(parsed.definition.model.streams.empty());
}

struct Spoil {
  const char *name;
  std::function<void(RawDescriptors &)> apply;
  ParseError expected;
};

void PrintTo(const Spoil &s, std::ostream *os) { *os << s.name; }

// Offsets into a built configuration, found by walking it the tests' way.
size_t OffsetOf(const std::vector<uint8_t> &config, uint8_t type, int skip) {
  for (size_t pos = 9; pos + 2 < config.size() && config[pos] >= 2; pos += config[pos]) {
    if (config[pos + 1] == type && skip-- == 0) return pos;
  }
  ADD_FAILURE() << "no such descriptor";
  return 0;
}

// The first class-specific descriptor of `subtype` in an AudioStreaming interface.
size_t StreamingOffset(const std::vector<uint8_t> &config, uint8_t subtype) {
  bool streaming = false;
  for (size_t pos = 9; pos + 2 < config.size() && config[pos] >= 2; pos += config[pos]) {
    if (config[pos + 1] == 4) streaming = config[pos + 5] == 1 && config[pos + 6] == 2;
    if (streaming && config[pos + 1] == 0x24 && config[pos + 2] == subtype) return pos;
  }
  ADD_FAILURE() << "no such descriptor";
  return 0;
}

void SetTotal(std::vector<uint8_t> &c, size_t total) {
  c[2] = static_cast<uint8_t>(total);
  c[3] = static_cast<uint8_t>(total >> 8);
}

class RawModelRefuses : public ::testing::TestWithParam<Spoil> {};

TEST_P(RawModelRefuses, MalformedInputWithTheMatchingError) {
  RawDescriptors raw = RawOf(*FindModel("Alder"));
  GetParam().apply(raw);
  const RawParseResult parsed = ParseRawDevice(raw);
  EXPECT_EQ(parsed.error, GetParam().expected) << ParseErrorName(parsed.error) << ": " << parsed.detail;
  EXPECT_FALSE(parsed.detail.empty());
}

const Spoil kSpoils[] = {
    {"DeviceDescriptorShort", [](RawDescriptors &r) { r.device.resize(17); }, ParseError::BadDeviceDescriptor},
    {"DeviceDescriptorWrongType", [](RawDescriptors &r) { r.device[1] = 2; }, ParseError::BadDeviceDescriptor},
    {"ConfigurationShorterThanHeader", [](RawDescriptors &r) { r.configuration.resize(8); },
     ParseError::BadConfigurationHeader},
    {"TotalLengthBelowHeader", [](RawDescriptors &r) { SetTotal(r.configuration, 5); },
     ParseError::BadConfigurationHeader},
    {"TotalLengthBeyondData", [](RawDescriptors &r) { r.configuration.pop_back(); },
     ParseError::TotalLengthExceedsData},
    {"OneByteDescriptor", [](RawDescriptors &r) { r.configuration[9] = 1; }, ParseError::BadLength},
    {"EndpointBeforeInterface",
     [](RawDescriptors &r) {
       const uint8_t ep[] = {7, 5, 0x81, 1, 64, 0, 1};
       r.configuration.insert(r.configuration.begin() + 9, std::begin(ep), std::end(ep));
       SetTotal(r.configuration, r.configuration.size());
     },
     ParseError::DescriptorOutsideInterface},
    {"EndpointCountTooHigh", [](RawDescriptors &r) { r.configuration[OffsetOf(r.configuration, 4, 2) + 4] = 2; },
     ParseError::EndpointCountMismatch},
    {"ClassOneControlWithClassTwoDescriptors",
     [](RawDescriptors &r) { r.configuration[OffsetOf(r.configuration, 4, 0) + 7] = 0; }, ParseError::BadLength},
    {"AudioClassThree", [](RawDescriptors &r) { r.configuration[OffsetOf(r.configuration, 4, 0) + 7] = 0x30; },
     ParseError::NotAudioClass2},
    {"NoStreamingAfterControl",
     [](RawDescriptors &r) {
       for (int i = 1; i <= 3; ++i) r.configuration[OffsetOf(r.configuration, 4, i) + 5] = 0xFF;
     },
     ParseError::NoAudioFunction},
    {"SubslotFive", [](RawDescriptors &r) { r.configuration[StreamingOffset(r.configuration, 0x02) + 4] = 5; },
     ParseError::CountOutOfRange},
    {"NoChannels", [](RawDescriptors &r) { r.configuration[StreamingOffset(r.configuration, 0x01) + 10] = 0; },
     ParseError::CountOutOfRange},
    {"PacketSmallerThanAFrame",
     [](RawDescriptors &r) {
       const size_t ep = OffsetOf(r.configuration, 5, 0);
       r.configuration[ep + 4] = 5;
       r.configuration[ep + 5] = 0;
     },
     ParseError::CountOutOfRange},
    {"FormatTypeOfEightBytes",
     [](RawDescriptors &r) { r.configuration[StreamingOffset(r.configuration, 0x02)] = 8; }, ParseError::BadLength},
    {"StringWithOddLength", [](RawDescriptors &r) { r.strings[2] = {7, 3, 'A', 0, 'B'}; }, ParseError::BadString},
};

INSTANTIATE_TEST_SUITE_P(Alder, RawModelRefuses, ::testing::ValuesIn(kSpoils),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(RawModel, MidiEndpointWithSeventeenJacksIsRefused) {
  RawDescriptors raw = RawOf(*FindModel("Rowan"));
  std::vector<uint8_t> &c = raw.configuration;
  // Rowan's one-cable MIDI endpoints carry 5-byte class-specific descriptors.
  size_t ms = 0;
  for (size_t pos = 9; pos < c.size(); pos += c[pos]) {
    if (c[pos + 1] == 0x25 && c[pos] == 5) ms = pos;
  }
  ASSERT_NE(ms, 0u);
  std::vector<uint8_t> jacks(17, 1);
  c[ms] = 4 + 17;
  c[ms + 3] = 17;
  c.erase(c.begin() + static_cast<long long>(ms) + 4);
  c.insert(c.begin() + static_cast<long long>(ms) + 4, jacks.begin(), jacks.end());
  SetTotal(c, c.size());
  const RawParseResult parsed = ParseRawDevice(raw);
  EXPECT_EQ(parsed.error, ParseError::CountOutOfRange) << parsed.detail;
}

// Cutting wTotalLength inside any descriptor must be caught as truncation,
// whatever kind of descriptor is cut.
TEST(RawModel, EveryCutInsideADescriptorIsTruncation) {
  const RawDescriptors whole = RawOf(*FindModel("Larch"));
  std::vector<bool> boundary(whole.configuration.size() + 1, false);
  for (size_t pos = 9; pos < whole.configuration.size(); pos += whole.configuration[pos]) boundary[pos] = true;
  for (size_t cut = 10; cut < whole.configuration.size(); ++cut) {
    if (boundary[cut]) continue;
    RawDescriptors raw = whole;
    raw.configuration.resize(cut);
    SetTotal(raw.configuration, cut);
    const RawParseResult parsed = ParseRawDevice(raw);
    ASSERT_EQ(parsed.error, ParseError::Truncated) << "cut at " << cut << ": " << parsed.detail;
  }
}

// Random damage: whatever the parser accepts must describe streams the
// device can run, and what it serves must be the bytes it was given.
TEST(RawModel, RandomDamageIsRefusedOrYieldsARunnableModel) {
  const RawDescriptors whole = RawOf(*FindModel("Larch"));
  std::mt19937 random(20240611);
  size_t accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    RawDescriptors raw = whole;
    std::vector<uint8_t> &c = raw.configuration;
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < flips; ++i) c[random() % c.size()] = static_cast<uint8_t>(random());
    if (random() % 4 == 0) c.resize(random() % c.size());
    const RawParseResult parsed = ParseRawDevice(raw);
    if (!parsed.Ok()) {
      EXPECT_FALSE(parsed.detail.empty());
      continue;
    }
    ++accepted;
    EXPECT_LE(parsed.definition.descriptors.configuration.size(), c.size());
    for (const StreamingInterface &s : parsed.definition.model.streams) {
      EXPECT_GE(s.channels, 1);
      for (const StreamFormat &f : s.formats) {
        EXPECT_TRUE(f.subslotSize >= 1 && f.subslotSize <= 4);
      }
    }
  }
  EXPECT_GT(accepted, 0u) << "damage to unread fields should still parse";
}

// Shapes real interfaces ship: the class 2.0 function need not start at
// interface 0, and a class 1.0 header-only AudioControl interface holding
// the MIDI interface may come before or after it. The function is found and
// simulated as it is; the class 1.0 part is served but not interpreted.
TEST(RawModel, AcceptsTheFunctionBesideVendorAndClassOneInterfaces) {
  const DeviceModel &larch = *FindModel("Larch");
  for (auto [name, shape] : {std::pair{"vendor first", reshape::Shape::VendorFirst},
                             std::pair{"class 1.0 MIDI before", reshape::Shape::ClassOneMidiBefore},
                             std::pair{"class 1.0 MIDI after", reshape::Shape::ClassOneMidiAfter}}) {
    SCOPED_TRACE(name);
    const RawParseResult parsed = reshape::ReshapedDevice(larch, shape);
    ASSERT_TRUE(parsed.Ok()) << ParseErrorName(parsed.error) << ": " << parsed.detail;
    const DeviceModel &m = parsed.definition.model;
    ExpectSameStreams(larch, m);
    EXPECT_EQ(m.clocks.size(), larch.clocks.size());
    EXPECT_EQ(m.category, larch.category);
    ASSERT_TRUE(m.statusInterrupt.has_value());
    EXPECT_EQ(m.statusInterrupt->endpoint, larch.statusInterrupt->endpoint);
    ASSERT_TRUE(m.midi.has_value());
    EXPECT_EQ(m.midi->cables, larch.midi->cables);
  }
}

RawDescriptors ShapedRaw(reshape::Shape shape, const std::function<void(std::vector<reshape::Bytes> &)> &edit) {
  RawDescriptors raw = RawOf(*FindModel("Larch"));
  std::vector<reshape::Bytes> descriptors = reshape::Split(reshape::Reshaped(raw.configuration, shape));
  edit(descriptors);
  raw.configuration = reshape::Join(raw.configuration, descriptors);
  return raw;
}

TEST(RawModel, StillRefusesWhatIsMalformedAroundTheFunction) {
  using reshape::Bytes;
  const auto before = reshape::Shape::ClassOneMidiBefore;
  struct Case {
    const char *what;
    RawDescriptors raw;
    ParseError expected;
  };
  const Case cases[] = {
      {"class 1.0 header longer than its collection",
       ShapedRaw(before, [](std::vector<Bytes> &d) { d[1] = {10, 0x24, 0x01, 0x00, 0x01, 10, 0, 1, 1, 0}; }),
       ParseError::BadLength},
      {"class 1.0 AudioControl with a clock source",
       ShapedRaw(before, [](std::vector<Bytes> &d) { d.insert(d.begin() + 2, {8, 0x24, 0x0A, 0x40, 1, 7, 0, 0}); }),
       ParseError::BadSubtype},
      {"only the class 1.0 AudioControl and its MIDI interface",
       ShapedRaw(before,
                 [](std::vector<Bytes> &d) {
                   auto function = std::find_if(d.begin(), d.end(), [](const Bytes &x) {
                     return reshape::IsAssociation(x) || (reshape::IsInterface(x) && x[2] == 2);
                   });
                   d.erase(function, d.end());
                 }),
       ParseError::NotAudioClass2},
      {"no AudioStreaming after any class 2.0 AudioControl",
       ShapedRaw(before,
                 [](std::vector<Bytes> &d) {
                   for (Bytes &x : d) {
                     if (reshape::IsInterface(x) && x[5] == 1 && x[6] == 2) x[5] = 0xFF;
                   }
                 }),
       ParseError::NoAudioFunction},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const RawParseResult parsed = ParseRawDevice(c.raw);
    EXPECT_EQ(parsed.error, c.expected) << ParseErrorName(parsed.error) << ": " << parsed.detail;
  }
}

}  // namespace
