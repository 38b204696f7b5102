// The catalog holds the family's models with the shapes the driver's tests
// rely on, each different, plus the two other vendors the driver meets.
#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/devices/string_descriptors.h"

namespace {

using namespace winsim::devices;

unsigned Channels(const DeviceModel &m, StreamDirection direction) {
  const StreamingInterface *s = FindStream(m, direction);
  return s ? s->channels : 0;
}

TEST(Catalog, HoldsTheFamilysProductIdsUnderTheMakersVendorId) {
  const std::pair<const char *, uint16_t> family[] = {{"Alder", 0x8000}, {"Birch", 0x800C}, {"Cedar", 0x8004},
                                                      {"Larch", 0x8014}, {"Maple", 0x8012}, {"Rowan", 0x8002}};
  for (const auto &[name, pid] : family) {
    const DeviceModel *m = FindModel(name);
    ASSERT_NE(m, nullptr) << name;
    EXPECT_EQ(m->vendorId, kQavVendorId) << name;
    EXPECT_EQ(m->productId, pid) << name;
  }
  EXPECT_EQ(kQavVendorId, 0x2B5A);
}

TEST(Catalog, ExercisesBothAcceptedVendorsAndOneForeignVendor) {
  std::set<uint16_t> vendors;
  for (const DeviceModel &m : Catalog()) vendors.insert(m.vendorId);
  EXPECT_EQ(vendors, (std::set<uint16_t>{0x2B5A, 0x1A2C, 0x0D8C}));
}

TEST(Catalog, LookupIgnoresCaseAndRejectsUnknownNames) {
  EXPECT_EQ(FindModel("larch"), FindModel("LARCH"));
  ASSERT_NE(FindModel("lArCh"), nullptr);
  EXPECT_EQ(FindModel("lArCh")->productId, 0x8014);
  EXPECT_EQ(FindModel("Larc"), nullptr);
  EXPECT_EQ(FindModel(""), nullptr);
}

TEST(Catalog, DefaultModelIsTheLargestInterface) {
  const DeviceModel *m = FindModel(DefaultModelName());
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->name, "Larch");
}

TEST(Catalog, LarchIsEighteenInTwentyOutWithThreeSelectableClocksAndTwoMidiCables) {
  const DeviceModel &m = *FindModel("Larch");
  EXPECT_EQ(Channels(m, StreamDirection::Capture), 18u);
  EXPECT_EQ(Channels(m, StreamDirection::Render), 20u);
  ASSERT_EQ(m.clocks.size(), 3u);
  EXPECT_EQ(m.clocks[0].type, ClockType::InternalProgrammable);
  EXPECT_EQ(m.clocks[1].name, "S/PDIF");
  EXPECT_EQ(m.clocks[2].name, "ADAT");
  ASSERT_TRUE(m.selector.has_value());
  EXPECT_EQ(m.selector->inputs, (std::vector<uint8_t>{m.clocks[0].id, m.clocks[1].id, m.clocks[2].id}));
  ASSERT_TRUE(m.midi.has_value());
  EXPECT_EQ(m.midi->cables, 2);
  EXPECT_EQ(m.clocks[0].rates.front(), 44100u);
  EXPECT_EQ(MaxClockRate(m), 192000u);
  EXPECT_TRUE(m.statusInterrupt.has_value());
}

TEST(Catalog, EveryModelHasItsOwnShape) {
  using Shape = std::tuple<unsigned, unsigned, size_t, bool, int, int, uint8_t, uint32_t>;
  std::set<Shape> shapes;
  std::set<uint8_t> subslots;
  for (const DeviceModel &m : Catalog()) {
    const StreamingInterface *first = m.streams.empty() ? nullptr : &m.streams.front();
    const Shape shape{Channels(m, StreamDirection::Capture), Channels(m, StreamDirection::Render), m.clocks.size(),
                      m.statusInterrupt.has_value(), m.midi ? m.midi->cables : 0,
                      first ? static_cast<int>(first->feedback) : -1,
                      first ? first->formats.front().subslotSize : uint8_t{0}, MaxClockRate(m)};
    EXPECT_TRUE(shapes.insert(shape).second) << m.name << " repeats another model's shape";
    for (const StreamingInterface &s : m.streams) {
      for (const StreamFormat &f : s.formats) subslots.insert(f.subslotSize);
    }
  }
  EXPECT_EQ(subslots, (std::set<uint8_t>{2, 3, 4}));
}

// The driver reads product and clock names into 64-byte buffers: 31 UTF-16
// characters and a terminator.
TEST(Catalog, EveryModelBuildsAndItsNamesFitTheDriversBuffers) {
  std::set<std::string> names;
  for (const DeviceModel &m : Catalog()) {
    const BuildResult result = BuildDevice(m);
    EXPECT_TRUE(result.Ok()) << m.name << ": " << BuildErrorName(result.error) << " " << result.detail;
    EXPECT_TRUE(names.insert(m.name).second);
    EXPECT_FALSE(m.product.empty());
    EXPECT_LE(Utf8ToUtf16(m.product).size(), 31u) << m.name;
    for (const ClockSource &c : m.clocks) EXPECT_LE(Utf8ToUtf16(c.name).size(), 31u) << m.name;
  }
  EXPECT_GE(names.size(), 8u);
}

}  // namespace

namespace {

// bInterval and wMaxPacketSize of endpoint `address` in every alternate
// setting that has it, as the device enumerates.
std::vector<std::pair<uint8_t, uint16_t>> EndpointsOf(const DeviceModel &m, uint8_t address) {
  const BuildResult built = BuildDevice(m);
  EXPECT_TRUE(built.Ok()) << m.name;
  const std::vector<uint8_t> &config = built.definition.descriptors.configuration;
  std::vector<std::pair<uint8_t, uint16_t>> found;
  for (size_t pos = 0; pos + 7 <= config.size() && config[pos] >= 2; pos += config[pos]) {
    if (config[pos + 1] == 0x05 && config[pos + 2] == address) {
      found.emplace_back(config[pos + 6], static_cast<uint16_t>(config[pos + 4] | (config[pos + 5] << 8)));
    }
  }
  return found;
}

TEST(Variants, DifferFromTheirModelOnlyInOneEndpointsIntervalAndTheirIdentity) {
  struct Case {
    const char *name, *base;
    uint16_t productId;
    uint8_t endpoint, interval;
  };
  std::set<uint16_t> productIds;
  for (const DeviceModel &m : Catalog()) productIds.insert(m.productId);
  for (const Case &c : {Case{"Aspen", "Maple", 0x8016, 0x81, 1}, Case{"Elm", "Maple", 0x8018, 0x81, 3},
                        Case{"Yew", "Alder", 0x801A, 0x01, 4}}) {
    SCOPED_TRACE(c.name);
    const DeviceModel *variant = FindModel(c.name);
    ASSERT_NE(variant, nullptr);
    EXPECT_EQ(variant->productId, c.productId);
    EXPECT_TRUE(productIds.insert(variant->productId).second);
    EXPECT_NE(variant->serial, FindModel(c.base)->serial);
    EXPECT_EQ(EndpointsOf(*variant, c.endpoint).size(), EndpointsOf(*FindModel(c.base), c.endpoint).size());
    for (const auto &[interval, maxPacket] : EndpointsOf(*variant, c.endpoint)) EXPECT_EQ(interval, c.interval);
  }
  for (const DeviceModel &m : Catalog()) EXPECT_NE(m.name, "Aspen");
}

// Served once per frame, Yew's render packets carry a millisecond: at 96 kHz
// and 3 bytes × 2 channels, 97 frames of 6 bytes.
TEST(Variants, ADataEndpointServedLessOftenCarriesItsWholeIntervalInAPacket) {
  const auto yew = EndpointsOf(*FindModel("Yew"), 0x01);
  const auto alder = EndpointsOf(*FindModel("Alder"), 0x01);
  ASSERT_EQ(yew.size(), 2u);
  EXPECT_EQ(yew[0].second, 97u * 6);
  EXPECT_EQ(alder[0].second, 13u * 6);
}

}  // namespace
