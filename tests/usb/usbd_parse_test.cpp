// The usbd.sys helpers drivers call on configuration descriptors: searches on
// well-formed descriptors, the SELECT_CONFIGURATION URB they build, and
// bounded behaviour on malformed ones (the descriptors live in exactly sized
// heap blocks, so a read past them is an AddressSanitizer error).
#include <gtest/gtest.h>
#include <usbdlib.h>
#include <wdm.h>

#include <optional>

#include "usb_stack_fixture.h"
#include "winsim/devices/descriptor_corruption.h"
#include "winsim/kernel/pool.h"

using namespace usbtest;
using winsim::devices::Corruption;

namespace {

PUSB_CONFIGURATION_DESCRIPTOR AsConfiguration(std::vector<uint8_t> &bytes) {
  return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

class UsbdParse : public ::testing::Test {
 protected:
  winsim::Machine machine;  // pool for the request builder
  std::vector<uint8_t> larch = BuildModel("Larch").descriptors.configuration;
};

struct SearchCase {
  const char *name;
  LONG number, alternate, cls, subclass, protocol;
  std::optional<std::pair<uint8_t, uint8_t>> found;  // (number, alternate)
};

class InterfaceSearches : public UsbdParse, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(InterfaceSearches, FindTheFirstInterfaceMatchingEveryGivenField) {
  const SearchCase &c = GetParam();
  PUSB_CONFIGURATION_DESCRIPTOR config = AsConfiguration(larch);
  PUSB_INTERFACE_DESCRIPTOR found =
      USBD_ParseConfigurationDescriptorEx(config, config, c.number, c.alternate, c.cls, c.subclass, c.protocol);
  if (!c.found) {
    EXPECT_EQ(found, nullptr);
    return;
  }
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->bInterfaceNumber, c.found->first);
  EXPECT_EQ(found->bAlternateSetting, c.found->second);
}

INSTANTIATE_TEST_SUITE_P(
    Larch, InterfaceSearches,
    ::testing::Values(SearchCase{"AudioControlByNumber", 0, 0, -1, -1, -1, std::pair<uint8_t, uint8_t>{0, 0}},
                      SearchCase{"SecondAlternateSetting", 1, 2, -1, -1, -1, std::pair<uint8_t, uint8_t>{1, 2}},
                      SearchCase{"MidiByClassAlone", -1, -1, 1, 3, -1, std::pair<uint8_t, uint8_t>{3, 0}},
                      SearchCase{"FirstStreamingByProtocol", -1, -1, 1, 2, 0x20, std::pair<uint8_t, uint8_t>{1, 0}},
                      SearchCase{"NoSuchInterface", 9, -1, -1, -1, -1, std::nullopt},
                      SearchCase{"NoSuchClass", -1, -1, 0xFE, -1, -1, std::nullopt}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(UsbdParse, SearchFromAStartPositionFindsTheNextAlternateSetting) {
  PUSB_CONFIGURATION_DESCRIPTOR config = AsConfiguration(larch);
  PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(config, config, 1, -1, -1, -1, -1);
  ASSERT_NE(first, nullptr);
  PUSB_INTERFACE_DESCRIPTOR next = USBD_ParseConfigurationDescriptorEx(
      config, reinterpret_cast<uint8_t *>(first) + first->bLength, 1, -1, -1, -1, -1);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->bAlternateSetting, first->bAlternateSetting + 1);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, larch.data() + larch.size(), 1, -1, -1, -1, -1), nullptr);
}

TEST_F(UsbdParse, ParseDescriptorsWalksOneTypeFromAPosition) {
  size_t endpoints = 0;
  for (PUSB_COMMON_DESCRIPTOR d = USBD_ParseDescriptors(larch.data(), static_cast<ULONG>(larch.size()), larch.data(),
                                                        USB_ENDPOINT_DESCRIPTOR_TYPE);
       d != nullptr;
       d = USBD_ParseDescriptors(larch.data(), static_cast<ULONG>(larch.size()), reinterpret_cast<uint8_t *>(d) + d->bLength,
                                 USB_ENDPOINT_DESCRIPTOR_TYPE)) {
    EXPECT_EQ(d->bDescriptorType, USB_ENDPOINT_DESCRIPTOR_TYPE);
    ++endpoints;
  }
  EXPECT_EQ(endpoints, 7u);  // status interrupt, 2 x render, 2 x capture, 2 x MIDI
  PUSB_COMMON_DESCRIPTOR any = USBD_ParseDescriptors(larch.data(), static_cast<ULONG>(larch.size()), larch.data() + 9, -1);
  ASSERT_NE(any, nullptr);
  EXPECT_EQ(any->bDescriptorType, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE);
}

TEST_F(UsbdParse, ConfigurationRequestHasOneInterfaceBlockPerListEntryBackToBack) {
  PUSB_CONFIGURATION_DESCRIPTOR config = AsConfiguration(larch);
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  for (LONG number = 0; number < config->bNumInterfaces; ++number) {
    list.push_back({USBD_ParseConfigurationDescriptorEx(config, config, number, 0, -1, -1, -1), nullptr});
  }
  list.push_back({nullptr, nullptr});
  PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
  size_t expected = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  auto *next = reinterpret_cast<uint8_t *>(&urb->UrbSelectConfiguration.Interface);
  for (size_t i = 0; i + 1 < list.size(); ++i) {
    PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
    ASSERT_EQ(reinterpret_cast<uint8_t *>(info), next);
    UCHAR endpoints = list[i].InterfaceDescriptor->bNumEndpoints;
    EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(endpoints));
    EXPECT_EQ(info->InterfaceNumber, i);
    EXPECT_EQ(info->NumberOfPipes, endpoints);
    PUSBD_PIPE_INFORMATION pipes = info->Pipes;
    for (UCHAR p = 0; p < endpoints; ++p) EXPECT_EQ(pipes[p].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    next += info->Length;
    expected += info->Length;
  }
  EXPECT_EQ(urb->UrbHeader.Length, expected);
  EXPECT_EQ(winsim::Pool::Instance().OutstandingBlocks(MAKEFOURCC_TAG('U', 's', 'b', 'D')), 1u);
  ExFreePool(urb);
  USBD_INTERFACE_LIST_ENTRY empty{nullptr, nullptr};
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, &empty), nullptr);
}

struct MalformedCase {
  const char *name;
  std::function<std::vector<uint8_t>(const std::vector<uint8_t> &)> corrupt;
  bool firstInterfaceFound;  // interface 0 lies before the damage
  bool lastInterfaceFound;   // the MIDI interface lies after it
};

std::vector<uint8_t> Corrupt(const std::vector<uint8_t> &good, Corruption kind) {
  return winsim::devices::CorruptConfiguration(good, kind).value();
}

std::vector<uint8_t> WithByte(std::vector<uint8_t> bytes, size_t offset, uint8_t value) {
  bytes[offset] = value;
  return bytes;
}

class MalformedDescriptors : public UsbdParse, public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedDescriptors, StopTheWalkInsteadOfReadingPastTheDescriptors) {
  std::vector<uint8_t> bad = GetParam().corrupt(larch);
  PUSB_CONFIGURATION_DESCRIPTOR config = AsConfiguration(bad);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1) != nullptr,
            GetParam().firstInterfaceFound);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 3, 0, -1, -1, -1) != nullptr,
            GetParam().lastInterfaceFound);
  // Every descriptor handed out lies wholly inside the buffer.
  const uint8_t *end = bad.data() + bad.size();
  size_t walked = 0;
  for (PUSB_COMMON_DESCRIPTOR d = USBD_ParseDescriptors(bad.data(), static_cast<ULONG>(bad.size()), bad.data(), -1);
       d != nullptr && walked < bad.size();
       d = USBD_ParseDescriptors(bad.data(), static_cast<ULONG>(bad.size()), reinterpret_cast<uint8_t *>(d) + d->bLength, -1)) {
    ASSERT_LE(reinterpret_cast<uint8_t *>(d) + d->bLength, end);
    ++walked;
  }
  EXPECT_LT(walked, bad.size());
}

INSTANTIATE_TEST_SUITE_P(
    Larch, MalformedDescriptors,
    ::testing::Values(
        MalformedCase{"ZeroLengthClockSource", [](auto &g) { return Corrupt(g, Corruption::ZeroLength); }, true, false},
        MalformedCase{"TruncatedTotalLength", [](auto &g) { return Corrupt(g, Corruption::TruncatedTotalLength); }, true,
                      true},
        MalformedCase{"OneByteDescriptorRightAfterTheHeader", [](auto &g) { return WithByte(g, 9, 1); }, false, false},
        MalformedCase{"FirstInterfaceTooShortToBeOne", [](auto &g) { return WithByte(g, 17, 5); }, false, false},
        MalformedCase{"TotalLengthBelowTheHeader", [](auto &g) { return WithByte(WithByte(g, 2, 5), 3, 0); }, false,
                      false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(UsbdParse, OverlongLengthNeverYieldsADescriptorReachingPastTheEnd) {
  std::vector<uint8_t> bad = Corrupt(larch, Corruption::OverlongLength);
  bad.resize(bad[2] | bad[3] << 8);  // exactly wTotalLength bytes
  PUSB_CONFIGURATION_DESCRIPTOR config = AsConfiguration(bad);
  for (LONG number = 0; number < 8; ++number) {
    PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(config, config, number, -1, -1, -1, -1);
    if (found != nullptr) {
      EXPECT_LE(reinterpret_cast<uint8_t *>(found) + sizeof *found, bad.data() + bad.size());
    }
  }
  EXPECT_EQ(USBD_ParseDescriptors(bad.data(), 2, bad.data(), -1), nullptr);  // a 9-byte header in a 2-byte buffer
}

}  // namespace
