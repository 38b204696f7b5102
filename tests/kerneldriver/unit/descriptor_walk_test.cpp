// The bounded descriptor walks and the configuration check that guards every
// walk: catalog configurations pass whole, malformed ones are refused, and no
// walk returns a descriptor that is not wholly inside the bytes.
#include "kerneldriver/usb/descriptor_walk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config_builder.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/devices/descriptor_corruption.h"

namespace {

using kdtest::ConfigBuilder;
using winsim::devices::Corruption;

std::vector<uint8_t> CatalogConfiguration(const winsim::devices::DeviceModel &model) {
  auto built = winsim::devices::BuildDevice(model);
  EXPECT_TRUE(built.Ok()) << model.name << ": " << built.detail;
  return built.definition.descriptors.configuration;
}

DescriptorBytes Bytes(const std::vector<uint8_t> &v) { return DescriptorBytes{v.data(), static_cast<ULONG>(v.size())}; }

// Walks everything; fails the test for a descriptor not wholly inside the bytes.
size_t CountWalked(const std::vector<uint8_t> &v, ULONG length) {
  DescriptorBytes bytes{v.data(), length};
  size_t count = 0;
  for (auto *d = NextConfigurationDescriptor(bytes, nullptr, 0); d != nullptr;
       d = NextConfigurationDescriptor(bytes, d, 0)) {
    auto offset = reinterpret_cast<const uint8_t *>(d) - v.data();
    EXPECT_GE(d->bLength, 2);
    EXPECT_LE(offset + d->bLength, static_cast<ptrdiff_t>(length));
    ++count;
  }
  return count;
}

TEST(ConfigurationCheck, AcceptsEveryCatalogConfigurationAndTheWalkReachesItsEnd) {
  for (const auto &model : winsim::devices::Catalog()) {
    auto config = CatalogConfiguration(model);
    EXPECT_EQ(ValidateConfigurationDescriptor(config.data(), static_cast<ULONG>(config.size())), STATUS_SUCCESS)
        << model.name;
    size_t bytesWalked = 0;
    DescriptorBytes bytes = Bytes(config);
    for (auto *d = NextConfigurationDescriptor(bytes, nullptr, 0); d != nullptr;
         d = NextConfigurationDescriptor(bytes, d, 0)) {
      bytesWalked += d->bLength;
    }
    EXPECT_EQ(bytesWalked, config.size()) << model.name;
  }
}

struct MalformedCase {
  const char *what;
  std::vector<uint8_t> bytes;
  ULONG received;  // 0: all of bytes
};

std::vector<MalformedCase> MalformedCases() {
  auto good = ConfigBuilder().Interface(0, 0, 0, 1, 1).Raw({9, 0x24, 0x01, 0, 2, 0, 0, 0, 0}).Bytes();
  std::vector<MalformedCase> cases;
  auto zero = good;
  zero[18] = 0;
  cases.push_back({"a zero bLength", zero, 0});
  auto one = good;
  one[18] = 1;
  cases.push_back({"a bLength of 1", one, 0});
  auto overlong = good;
  overlong[18] = 255;
  cases.push_back({"a bLength beyond wTotalLength", overlong, 0});
  auto truncated = good;
  truncated[2] = static_cast<uint8_t>(good.size() - 3);
  cases.push_back({"a wTotalLength ending inside the last descriptor", truncated, 0});
  cases.push_back({"fewer bytes received than wTotalLength", good, static_cast<ULONG>(good.size() - 1)});
  auto shortInterface = ConfigBuilder().Raw({8, 0x04, 0, 0, 0, 1, 1, 0}).Bytes();
  cases.push_back({"an interface descriptor of 8 bytes", shortInterface, 0});
  auto shortEndpoint = ConfigBuilder().Interface(0, 0, 1, 1, 2).Raw({6, 0x05, 0x81, 1, 64, 0}).Bytes();
  cases.push_back({"an endpoint descriptor of 6 bytes", shortEndpoint, 0});
  auto notConfiguration = good;
  notConfiguration[1] = 0x07;
  cases.push_back({"a header that is not a configuration descriptor", notConfiguration, 0});
  auto shortHeader = good;
  shortHeader[0] = 8;
  cases.push_back({"a header bLength of 8", shortHeader, 0});
  cases.push_back({"only part of the header", std::vector<uint8_t>(good.begin(), good.begin() + 5), 0});
  return cases;
}

TEST(ConfigurationCheck, RefusesMalformedConfigurations) {
  for (const auto &c : MalformedCases()) {
    ULONG received = c.received != 0 ? c.received : static_cast<ULONG>(c.bytes.size());
    EXPECT_EQ(ValidateConfigurationDescriptor(c.bytes.data(), received), STATUS_DEVICE_CONFIGURATION_ERROR) << c.what;
  }
}

TEST(ConfigurationWalk, StopsAtTheFirstDescriptorThatIsNotWhole) {
  auto bytes = ConfigBuilder().Interface(0, 0, 0, 1, 1).Raw({0, 0x24, 1}).Interface(1, 0, 0, 1, 2).Bytes();
  EXPECT_EQ(CountWalked(bytes, static_cast<ULONG>(bytes.size())), 2u);  // header and first interface
  auto overlong = ConfigBuilder().Interface(0, 0, 0, 1, 1).Raw({200, 0x24, 1}).Bytes();
  EXPECT_EQ(CountWalked(overlong, static_cast<ULONG>(overlong.size())), 2u);
}

TEST(ConfigurationWalk, EndsForAPositionOutsideTheBytes) {
  auto bytes = ConfigBuilder().Interface(0, 0, 0, 1, 1).Bytes();
  uint8_t elsewhere[9] = {9, 4};
  EXPECT_EQ(NextConfigurationDescriptor(Bytes(bytes), elsewhere, 0), nullptr);
  EXPECT_EQ(NextConfigurationDescriptor(Bytes(bytes), bytes.data() + bytes.size(), 0), nullptr);
}

TEST(InterfaceWalk, StopsAtTheNextInterfaceDescriptorAndFiltersByType) {
  auto v = ConfigBuilder()
               .Interface(1, 1, 2, 1, 2)
               .AsGeneral(2)
               .Endpoint(0x01, 0x05)
               .Endpoint(0x81, 0x11)
               .Interface(2, 0, 1, 1, 2)
               .Endpoint(0x82, 0x05)
               .Bytes();
  DescriptorBytes bytes = Bytes(v);
  auto *first = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(v.data() + 9);
  std::vector<uint8_t> endpoints;
  for (auto *d = NextInterfaceDescriptor(bytes, first, nullptr, 0x05); d != nullptr;
       d = NextInterfaceDescriptor(bytes, first, d, 0x05)) {
    endpoints.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(d)->bEndpointAddress);
  }
  EXPECT_EQ(endpoints, (std::vector<uint8_t>{0x01, 0x81}));
  EXPECT_EQ(NextInterfaceDescriptor(bytes, nullptr, nullptr, 0), nullptr);
}

TEST(IntervalClamp, LowersOnlyIsochronousIntervalsAboveFour) {
  auto v = ConfigBuilder()
               .Interface(0, 0, 3, 1, 2)
               .Endpoint(0x01, 0x05, 64, 8)
               .Endpoint(0x81, 0x03, 8, 8)
               .Endpoint(0x02, 0x01, 64, 3)
               .Bytes();
  ClampIsochronousIntervals(v.data(), static_cast<ULONG>(v.size()));
  const size_t firstEndpoint = 18;
  EXPECT_EQ(v[firstEndpoint + 6], 4);       // isochronous 8 -> 4
  EXPECT_EQ(v[firstEndpoint + 7 + 6], 8);   // interrupt keeps 8
  EXPECT_EQ(v[firstEndpoint + 14 + 6], 3);  // isochronous 3 stays
}

TEST(InterfaceList, ListsEachInterfaceNumberOnceInDescriptorOrderWhateverTheNumbers) {
  auto v = ConfigBuilder()
               .Interface(0, 0, 0, 1, 1)
               .Interface(2, 0, 0, 1, 2)
               .Interface(2, 1, 1, 1, 2)
               .Interface(5, 0, 0, 1, 2)
               .Interface(2, 0, 0, 1, 2)
               .Bytes();
  const USB_INTERFACE_DESCRIPTOR *found[8] = {};
  ASSERT_EQ(ListConfigurationInterfaces(Bytes(v), found, 8), 3u);
  EXPECT_EQ(found[0]->bInterfaceNumber, 0);
  EXPECT_EQ(found[1]->bInterfaceNumber, 2);
  EXPECT_EQ(found[2]->bInterfaceNumber, 5);
}

TEST(InterfaceList, CountsInterfacesBeyondTheTable) {
  ConfigBuilder builder;
  for (uint8_t i = 0; i < 9; ++i) builder.Interface(i, 0, 0, 0xFF, 0);
  auto v = builder.Bytes();
  const USB_INTERFACE_DESCRIPTOR *found[8] = {};
  EXPECT_EQ(ListConfigurationInterfaces(Bytes(v), found, 8), 9u);
}

// Every catalog model with each corruption: the check decides deterministically
// and, whatever it decides, walks over the bytes stay inside them.
TEST(ConfigurationCheck, DecidesEveryCatalogCorruptionWithinBounds) {
  for (const auto &model : winsim::devices::Catalog()) {
    auto good = CatalogConfiguration(model);
    for (Corruption kind : winsim::devices::kAllCorruptions) {
      auto bad = winsim::devices::CorruptConfiguration(good, kind);
      if (!bad) continue;
      std::string what = model.name + " / " + winsim::devices::CorruptionName(kind);
      NTSTATUS status = ValidateConfigurationDescriptor(bad->data(), static_cast<ULONG>(bad->size()));
      if (kind == Corruption::ZeroLength || kind == Corruption::TruncatedTotalLength) {
        EXPECT_EQ(status, STATUS_DEVICE_CONFIGURATION_ERROR) << what;
      } else if (kind != Corruption::OverlongLength) {
        EXPECT_EQ(status, STATUS_SUCCESS) << what;
      }
      CountWalked(*bad, static_cast<ULONG>(bad->size()));
    }
  }
}

}  // namespace
