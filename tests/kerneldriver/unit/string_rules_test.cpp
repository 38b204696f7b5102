// Copy rules for strings that come from the device or the PnP manager: string
// descriptors into fixed buffers, the hardware-id prefix, and the endpoint
// device-path match.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kerneldriver/device/hardware_id.h"
#include "kerneldriver/usb/usb_transport.h"

namespace {

std::vector<uint8_t> StringDescriptor(const std::u16string &text, int lengthAdjust = 0) {
  std::vector<uint8_t> d = {static_cast<uint8_t>(2 + text.size() * 2 + lengthAdjust), 0x03};
  for (char16_t c : text) {
    d.push_back(static_cast<uint8_t>(c));
    d.push_back(static_cast<uint8_t>(c >> 8));
  }
  return d;
}

struct StringCase {
  const char *what;
  std::vector<uint8_t> descriptor;
  ULONG received;  // 0: the whole descriptor
  ULONG bufferBytes;
  NTSTATUS status;
  std::u16string text;
};

TEST(StringDescriptorCopy, CopiesWithinTheBufferTheDescriptorAndWhatWasReceived) {
  const std::u16string longName(40, u'x');
  const std::vector<StringCase> cases = {
      {"a short string", StringDescriptor(u"Larch"), 0, 64, STATUS_SUCCESS, u"Larch"},
      {"31 characters fill a 64-byte buffer", StringDescriptor(longName.substr(0, 31)), 0, 64, STATUS_SUCCESS,
       longName.substr(0, 31)},
      {"32 characters lose the last one", StringDescriptor(longName.substr(0, 32)), 0, 64, STATUS_SUCCESS,
       longName.substr(0, 31)},
      {"bLength - 2 beyond the buffer overflows", StringDescriptor(longName), 0, 64, STATUS_BUFFER_OVERFLOW,
       longName.substr(0, 31)},
      {"a bLength of 0 copies nothing", StringDescriptor(u"abc", -8), 0, 64, STATUS_SUCCESS, u""},
      {"an odd bLength copies whole characters", StringDescriptor(u"abc", -1), 0, 64, STATUS_SUCCESS, u"ab"},
      {"a bLength beyond the bytes received", StringDescriptor(u"abcdef"), 6, 64, STATUS_SUCCESS, u"ab"},
      {"a descriptor cut before its header", StringDescriptor(u"abc"), 1, 64, STATUS_SUCCESS, u""},
  };
  for (const auto &c : cases) {
    std::vector<WCHAR> text(c.bufferBytes / 2, u'?');
    ULONG received = c.received != 0 ? c.received : static_cast<ULONG>(c.descriptor.size());
    EXPECT_EQ(CopyStringDescriptor(c.descriptor.data(), received, text.data(), c.bufferBytes), c.status) << c.what;
    EXPECT_EQ(std::u16string(text.data()), c.text) << c.what;
    EXPECT_EQ(text.back(), 0) << c.what << ": the buffer ends zero-filled";
  }
}

TEST(HardwareIdPrefix, KeepsTheFirstTwentyOneCharactersOfTheFirstId) {
  struct Case {
    std::u16string list;
    std::u16string prefix;
  };
  const std::vector<Case> cases = {
      {std::u16string(u"USB\\VID_2B5A&PID_8014&REV_0310\0USB\\VID_2B5A&PID_8014\0\0", 52), u"USB\\VID_2B5A&PID_8014"},
      {std::u16string(u"USB\\VID_1\0USB\\VID_2B5A&PID_8014\0\0", 33), u"USB\\VID_1"},
      {std::u16string(u"\0\0", 2), u""},
  };
  for (const auto &c : cases) {
    WCHAR prefix[kHardwareIdPrefixChars + 1];
    for (WCHAR &w : prefix) w = u'?';
    CopyHardwareIdPrefix(reinterpret_cast<const WCHAR *>(c.list.data()), static_cast<ULONG>(c.list.size() * 2),
                         prefix);
    EXPECT_EQ(std::u16string(prefix), c.prefix);
    EXPECT_EQ(prefix[kHardwareIdPrefixChars], 0);
  }
}

TEST(HardwareIdPrefix, StopsAtTheEndOfAnUnterminatedList) {
  std::u16string list = u"USB\\VID";
  WCHAR prefix[kHardwareIdPrefixChars + 1];
  CopyHardwareIdPrefix(reinterpret_cast<const WCHAR *>(list.data()), 4 * 2, prefix);
  EXPECT_EQ(std::u16string(prefix), u"USB\\");
}

TEST(EndpointDevicePath, MatchesThePrefixFromTheFifthCharacterWithoutCase) {
  const WCHAR prefix[] = u"USB\\VID_2B5A&PID_8014";
  struct Case {
    std::u16string path;
    bool matches;
  };
  const std::vector<Case> cases = {
      {u"{1}.USB\\VID_2B5A&PID_8014&MI_00\\7&1A2B", true},
      {u"{1}.usb\\vid_2b5a&pid_8014&mi_00\\7&1A2B", true},
      {u"{1}.USB\\VID_2B5A&PID_8015&MI_00\\7&1A2B", false},
      {u"USB\\VID_2B5A&PID_8014&MI_00\\7&1A2B", false},
      {u"{1}.USB\\VID_2B5A&PID_801", false},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(DevicePathMatchesPrefix(reinterpret_cast<const WCHAR *>(c.path.data()),
                                      static_cast<ULONG>(c.path.size()), prefix),
              c.matches)
        << std::string(c.path.begin(), c.path.end());
  }
  const WCHAR empty[] = u"";
  EXPECT_TRUE(DevicePathMatchesPrefix(reinterpret_cast<const WCHAR *>(u"x"), 1, empty));
}

}  // namespace
