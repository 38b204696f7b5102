// Each kind of malformed configuration a device can be told to serve is one
// the raw parser recognises for what it is.
#include <gtest/gtest.h>

#include "devices/descriptor_reader.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/devices/descriptor_corruption.h"
#include "winsim/devices/raw_model.h"

namespace {

using namespace winsim::devices;

struct Expectation {
  Corruption kind;
  ParseError error;
};

const Expectation kExpectations[] = {
    {Corruption::ZeroLength, ParseError::ZeroLength},
    {Corruption::OverlongLength, ParseError::BadLength},
    {Corruption::TruncatedTotalLength, ParseError::Truncated},
    {Corruption::TooManyInterfaces, ParseError::TooManyInterfaces},
    {Corruption::TooManyClocks, ParseError::TooManyClocks},
    {Corruption::WrongSubtype, ParseError::BadSubtype},
};

DescriptorSet Built(const DeviceModel &model) { return BuildDevice(model).definition.descriptors; }

ParseError ParseWith(const DescriptorSet &set, std::vector<uint8_t> configuration) {
  return ParseRawDevice(RawDescriptors{set.device, std::move(configuration), set.strings}).error;
}

TEST(Corruption, EveryKindIsRefusedWithItsOwnErrorOnEveryCatalogModel) {
  ASSERT_EQ(std::size(kExpectations), std::size(kAllCorruptions));
  for (const DeviceModel &model : Catalog()) {
    const DescriptorSet set = Built(model);
    for (const Expectation &e : kExpectations) {
      SCOPED_TRACE(model.name + ": " + CorruptionName(e.kind));
      const auto bad = CorruptConfiguration(set.configuration, e.kind);
      ASSERT_TRUE(bad.has_value());
      EXPECT_NE(*bad, set.configuration);
      EXPECT_EQ(ParseWith(set, *bad), e.error);
    }
  }
}

TEST(Corruption, AddedClocksAndInterfacesKeepTheConfigurationWellFormedOtherwise) {
  const DescriptorSet set = Built(*FindModel("Alder"));
  const auto clocks = CorruptConfiguration(set.configuration, Corruption::TooManyClocks);
  ASSERT_TRUE(clocks.has_value());
  const auto split = devices_test::SplitDescriptors(*clocks);
  ASSERT_TRUE(split.clean);
  size_t sources = 0, classSpecific = 0;
  const devices_test::Desc *header = nullptr;
  for (const auto &d : split.all) {
    if (!d.InAudio(1) || d.type() != 0x24) continue;
    classSpecific += d.len();
    sources += d.subtype() == 0x0A;
    if (d.subtype() == 0x01) header = &d;
  }
  EXPECT_EQ(sources, 17u);
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header->u16(6), classSpecific);
  EXPECT_EQ(split.all.front().u16(2), clocks->size());

  const auto interfaces = CorruptConfiguration(set.configuration, Corruption::TooManyInterfaces);
  ASSERT_TRUE(interfaces.has_value());
  const auto itfSplit = devices_test::SplitDescriptors(*interfaces);
  ASSERT_TRUE(itfSplit.clean);
  EXPECT_EQ(itfSplit.all.front().u8(4), 9);
}

TEST(Corruption, TruncationEndsInsideTheLastDescriptor) {
  const DescriptorSet set = Built(*FindModel("Larch"));
  const auto bad = CorruptConfiguration(set.configuration, Corruption::TruncatedTotalLength);
  ASSERT_TRUE(bad.has_value());
  EXPECT_LT(bad->size(), set.configuration.size());
  EXPECT_EQ((*bad)[2] | (*bad)[3] << 8, static_cast<int>(bad->size()));
  const auto split = devices_test::SplitDescriptors(*bad);
  EXPECT_FALSE(split.clean);
}

// Aimed at each descriptor in turn, the three single-descriptor kinds are
// refused the same way whatever they hit.
TEST(Corruption, AimedAtAnyDescriptorTheErrorStaysTheSame) {
  const DescriptorSet set = Built(*FindModel("Larch"));
  const auto split = devices_test::SplitDescriptors(set.configuration);
  for (size_t target = 0; target + 1 < split.all.size(); ++target) {
    const devices_test::Desc &d = split.all[target + 1];  // ordinal 0 is the first after the header
    SCOPED_TRACE("descriptor " + std::to_string(target));
    EXPECT_EQ(ParseWith(set, *CorruptConfiguration(set.configuration, Corruption::ZeroLength, target)),
              ParseError::ZeroLength);
    EXPECT_EQ(ParseWith(set, *CorruptConfiguration(set.configuration, Corruption::OverlongLength, target)),
              ParseError::BadLength);
    const auto subtype = CorruptConfiguration(set.configuration, Corruption::WrongSubtype, target);
    const bool classSpecific = d.type() == 0x24 || d.type() == 0x25;
    ASSERT_EQ(subtype.has_value(), classSpecific);
    if (classSpecific) {
      EXPECT_EQ(ParseWith(set, *subtype), ParseError::BadSubtype);
    }
  }
}

TEST(Corruption, RefusesInputItCannotWalkAndTargetsThatDoNotExist) {
  const DescriptorSet set = Built(*FindModel("Maple"));
  const auto split = devices_test::SplitDescriptors(set.configuration);
  EXPECT_FALSE(CorruptConfiguration(set.configuration, Corruption::ZeroLength, split.all.size()).has_value());
  const auto broken = CorruptConfiguration(set.configuration, Corruption::ZeroLength);
  EXPECT_FALSE(CorruptConfiguration(*broken, Corruption::OverlongLength).has_value());
  const DescriptorSet firmware = Built(FirmwareUpdateVariant(*FindModel("Maple")));
  EXPECT_FALSE(CorruptConfiguration(firmware.configuration, Corruption::TooManyClocks).has_value());
}

}  // namespace
