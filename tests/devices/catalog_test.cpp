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
