// The configuration walk that finds the channel-name strings, and the string
// conversion, on hand-made descriptors.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "uac2common/asiodriver/filter/channel_names.h"

namespace asiofiltertest {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Config(std::initializer_list<Bytes> parts, int totalAdjust = 0) {
  Bytes all = {9, 2, 0, 0, 2, 1, 0, 0x80, 50};
  for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
  const size_t total = all.size() + totalAdjust;
  all[2] = static_cast<uint8_t>(total & 0xFF);
  all[3] = static_cast<uint8_t>(total >> 8);
  return all;
}
Bytes Interface(uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t subClass = 2) {
  return {9, 4, number, alternate, endpoints, 1, subClass, 0x20, 0};
}
Bytes Endpoint(uint8_t address) { return {7, 5, address, 0x05, 0x00, 0x02, 1}; }
Bytes AsGeneral(uint8_t names) { return {16, 0x24, 1, 1, 0, 1, 0, 0, 0, 0, 2, 0, 0, 0, 0, names}; }

// A render interface (OUT data endpoint, IN feedback endpoint) and a capture one.
Bytes Render(uint8_t names) {
  Bytes b = Interface(1, 0, 0);
  for (const Bytes &part : {Interface(1, 1, 2), AsGeneral(names), Endpoint(0x01), Endpoint(0x81)}) {
    b.insert(b.end(), part.begin(), part.end());
  }
  return b;
}
Bytes Capture(uint8_t names) {
  Bytes b = Interface(2, 0, 0);
  for (const Bytes &part : {Interface(2, 1, 1), AsGeneral(names), Endpoint(0x82)}) b.insert(b.end(), part.begin(), part.end());
  return b;
}

struct WalkCase {
  const char *name;
  Bytes config;
  UCHAR render;
  UCHAR capture;
  size_t readable = 0;  // 0: the whole buffer
};

TEST(ChannelNameIndexes, FoundPerDirection) {
  Bytes zeroLength = Config({Render(5)});
  zeroLength.insert(zeroLength.end(), {0, 4});
  const Bytes both = Config({Render(5), Capture(9)});
  const WalkCase cases[] = {
      {"render and capture", both, 5, 9},
      {"capture first", Config({Capture(9), Render(5)}), 5, 9},
      {"the later interface of a direction wins", Config({Render(5), Render(7)}), 7, 0},
      {"no names", Config({Render(0), Capture(0)}), 0, 0},
      {"alternate 0 only", Config({Interface(1, 0, 1), AsGeneral(5), Endpoint(0x01)}), 0, 0},
      {"no endpoints", Config({Interface(1, 1, 0), AsGeneral(5), Endpoint(0x01)}), 0, 0},
      {"not audio streaming", Config({Interface(1, 1, 1, 3), AsGeneral(5), Endpoint(0x01)}), 0, 0},
      {"AS_GENERAL cut short", Config({Interface(1, 1, 1), Bytes{15, 0x24, 1, 1, 0, 1, 0, 0, 0, 0, 2, 0, 0, 0, 0}, Endpoint(0x01)}), 0, 0},
      {"zero length ends the walk", zeroLength, 5, 0},
      {"wTotalLength ends the walk", Config({Render(5), Capture(9)}, -static_cast<int>(Capture(9).size())), 5, 0},
      {"wTotalLength past the buffer", Config({Render(5)}, 400), 5, 0},
      {"only the readable bytes", both, 5, 0, both.size() - Capture(9).size()},
      {"a descriptor running past the readable bytes", both, 0, 0, 9 + 9 + 9 + 10},
      {"too short for a header", both, 0, 0, 3},
  };
  for (const WalkCase &c : cases) {
    SCOPED_TRACE(c.name);
    const size_t size = c.readable != 0 ? c.readable : c.config.size();
    // A copy of exactly the readable bytes, so reading past them is caught.
    const Bytes readable(c.config.begin(), c.config.begin() + static_cast<std::ptrdiff_t>(size));
    const ChannelNameIndexes found = FindChannelNameIndexes(readable.data(), static_cast<ULONG>(readable.size()));
    EXPECT_EQ(found.render, c.render);
    EXPECT_EQ(found.capture, c.capture);
  }
  EXPECT_EQ(FindChannelNameIndexes(nullptr, 100).render, 0);
}

Bytes StringDescriptor(const std::u16string &text, int lengthAdjust = 0) {
  Bytes b = {static_cast<uint8_t>(2 + 2 * text.size() + lengthAdjust), 3};
  for (char16_t c : text) {
    b.push_back(static_cast<uint8_t>(c & 0xFF));
    b.push_back(static_cast<uint8_t>(c >> 8));
  }
  return b;
}

struct StringCase {
  const char *name;
  Bytes descriptor;
  bool ok;
  std::string text;
};

TEST(ChannelNameText, ConvertedAndBounded) {
  const std::u16string longName(40, u'A');
  Bytes wrongType = StringDescriptor(u"Out 1");
  wrongType[1] = 4;
  const StringCase cases[] = {
      {"plain", StringDescriptor(u"Out 1"), true, "Out 1"},
      {"cut to 31 characters", StringDescriptor(longName.substr(0, 33)), true, std::string(31, 'A')},
      {"bLength past the buffer", StringDescriptor(u"Line", 40), true, "Line"},
      {"odd bLength", StringDescriptor(u"Line", -1), true, "Lin"},
      {"NUL ends the name", StringDescriptor(std::u16string(u"In\0xx", 5)), true, "In"},
      {"empty", StringDescriptor(u""), true, ""},
      {"OEM code page", StringDescriptor(u"Entr\u00e9e \u00c4"), true, "Entr\x82" "e \x8e"},
      {"no OEM character", StringDescriptor(u"\u20ac"), true, "?"},
      {"not a string descriptor", wrongType, false, ""},
      {"bLength below a header", Bytes{1, 3, 'A', 0}, false, ""},
  };
  for (const StringCase &c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = "unchanged";
    EXPECT_EQ(ChannelNameFromString(c.descriptor.data(), static_cast<ULONG>(c.descriptor.size()), &text), c.ok);
    if (c.ok) {
      EXPECT_EQ(text, c.text);
    }
  }
  const Bytes header = {2, 3};
  std::string text;
  EXPECT_FALSE(ChannelNameFromString(header.data(), 1, &text)) << "one readable byte";
  EXPECT_FALSE(ChannelNameFromString(nullptr, 10, &text));
}

}  // namespace
}  // namespace asiofiltertest
