// lsusb -v dumps back to descriptor bytes: every catalog model printed from
// its descriptor layouts comes back byte for byte; damaged dumps are refused
// at the line at fault; what lsusb leaves out is said in a note.
#include <cstddef>
#include <gtest/gtest.h>

#include "tests/qav/support/lsusb_printer.h"
#include "winsim/devices/catalog.h"
#include "winsim/devices/descriptor_builder.h"
#include "winsim/devices/lsusb_text.h"
#include "winsim/devices/raw_text.h"
#include "winsim/devices/string_descriptors.h"

using namespace winsim::devices;

namespace {

std::vector<const DeviceModel *> AllModels() {
  std::vector<const DeviceModel *> models;
  for (const DeviceModel &m : Catalog()) models.push_back(&m);
  for (const DeviceModel &m : Variants()) models.push_back(&m);
  return models;
}

qav::test::StringText TextsOf(const DeviceDefinition &definition) {
  return [&definition](uint8_t index) -> std::optional<std::string> {
    const std::vector<uint8_t> *bytes = definition.descriptors.String(index);
    if (bytes == nullptr) return std::nullopt;
    auto text = DecodeStringDescriptor(*bytes);
    return text ? std::optional<std::string>(Utf16ToUtf8(*text)) : std::nullopt;
  };
}

DeviceDefinition Built(const DeviceModel &model) {
  BuildResult built = BuildDevice(model);
  EXPECT_TRUE(built.Ok()) << built.detail;
  return built.definition;
}

std::string Printed(const char *name, const qav::test::StringText &texts = nullptr) {
  DeviceDefinition d = Built(*FindModel(name));
  return qav::test::PrintLsusb(d.descriptors.device, d.descriptors.configuration, texts ? texts : TextsOf(d));
}

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = std::min(text.find('\n', pos), text.size());
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

std::string Joined(const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines) text += line + "\n";
  return text;
}

// 1-based number of the first line containing `what` at or after line `from`.
size_t LineOf(const std::vector<std::string> &lines, const std::string &what, size_t from = 1) {
  for (size_t i = from - 1; i < lines.size(); ++i) {
    if (lines[i].find(what) != std::string::npos) return i + 1;
  }
  ADD_FAILURE() << "no line with " << what;
  return 0;
}

TEST(LsusbText, EveryCatalogModelRoundTripsToIdenticalBytes) {
  for (const DeviceModel *model : AllModels()) {
    SCOPED_TRACE(model->name);
    DeviceDefinition d = Built(*model);
    const std::string text = qav::test::PrintLsusb(d.descriptors.device, d.descriptors.configuration, TextsOf(d));
    ASSERT_TRUE(LooksLikeLsusbText(text));
    LsusbTextResult parsed = ParseLsusbText(text);
    ASSERT_TRUE(parsed.ok) << parsed.error << "\n" << text;
    EXPECT_EQ(parsed.raw.device, d.descriptors.device);
    EXPECT_EQ(parsed.raw.configuration, d.descriptors.configuration);
    for (const auto &[index, bytes] : parsed.raw.strings) {
      const std::vector<uint8_t> *original = d.descriptors.String(index);
      ASSERT_NE(original, nullptr) << "string " << int(index);
      EXPECT_EQ(bytes, *original) << "string " << int(index);
    }
    // The rebuilt descriptors make the same simulated device.
    RawParseResult again = ParseRawDevice(parsed.raw);
    EXPECT_TRUE(again.Ok() || model->vendorId != kQavVendorId) << again.detail;
  }
}

TEST(LsusbText, DamagedDumpsAreRefusedAtTheLineAtFault) {
  const std::vector<std::string> larch = Lines(Printed("Larch"));
  const size_t general = LineOf(larch, "AudioStreaming Interface Descriptor:");
  const size_t configuration = LineOf(larch, "Configuration Descriptor:");
  const size_t firstInterface = LineOf(larch, "Interface Descriptor:", configuration + 1);
  struct Case {
    const char *what;
    std::function<std::vector<std::string>(std::vector<std::string>)> damage;
    size_t line;
    const char *error;
  };
  const Case cases[] = {
      {"cut mid-descriptor",
       [&](std::vector<std::string> l) {
         l.resize(general + 5);
         return l;
       },
       general, "is cut short"},
      {"wrong wTotalLength",
       [&](std::vector<std::string> l) {
         l[LineOf(l, "wTotalLength", configuration) - 1] = "    wTotalLength       0x0100";
         return l;
       },
       configuration, "wTotalLength says 256"},
      {"unknown descriptor with garbage",
       [&](std::vector<std::string> l) {
         l.insert(l.begin() + static_cast<std::ptrdiff_t>(firstInterface + 9), "      ** UNRECOGNIZED:  06 24 f1 zz 00 00");
         return l;
       },
       firstInterface + 10, "unrecognised descriptor without its bytes"},
      {"unknown descriptor shorter than its bLength",
       [&](std::vector<std::string> l) {
         l.insert(l.begin() + static_cast<std::ptrdiff_t>(firstInterface + 9), "      ** UNRECOGNIZED:  09 24 f1 01");
         return l;
       },
       firstInterface + 10, "is cut short"},
      {"field of no known width",
       [&](std::vector<std::string> l) {
         l[general] = "        xFoo                    3";
         return l;
       },
       general + 1, "not a descriptor field"},
      {"value too wide for its field",
       [&](std::vector<std::string> l) {
         l[general] = "        bLength               300";
         return l;
       },
       general + 1, "does not fit bLength"},
      {"prose in a descriptor",
       [&](std::vector<std::string> l) {
         l[general] = "        this is not a field";
         return l;
       },
       general + 1, "not a descriptor field"},
      {"a second device",
       [&](std::vector<std::string> l) {
         l.insert(l.begin() + static_cast<std::ptrdiff_t>(configuration), "Device Descriptor:");
         return l;
       },
       configuration + 1, "a second device"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    LsusbTextResult parsed = ParseLsusbText(Joined(c.damage(larch)));
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.error.rfind("line " + std::to_string(c.line) + ":", 0), 0u) << parsed.error;
    EXPECT_NE(parsed.error.find(c.error), std::string::npos) << parsed.error;
  }
}

TEST(LsusbText, WhatLsusbCouldNotShowIsSaidInOneLineEach) {
  // lsusb without access to the device prints string indices without text.
  std::string text = "Couldn't open device, some information will be missing\n" +
                     Printed("Hazel", [](uint8_t) { return std::nullopt; });
  LsusbTextResult parsed = ParseLsusbText(text);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_TRUE(parsed.raw.strings.empty());
  std::string said;
  for (const std::string &note : parsed.notes) said += note + "\n";
  EXPECT_NE(said.find("strings 1, 2"), std::string::npos) << said;
  EXPECT_NE(said.find("run it as root"), std::string::npos) << said;

  // A HID interface whose report descriptor lsusb could not read, and the
  // device status after the configuration.
  std::vector<std::string> lines = Lines(Printed("Hazel"));
  const size_t configuration = LineOf(lines, "Configuration Descriptor:");
  const size_t total = LineOf(lines, "wTotalLength", configuration);
  const size_t interfaces = LineOf(lines, "bNumInterfaces", configuration);
  const std::vector<uint8_t> original = Built(*FindModel("Hazel")).descriptors.configuration;
  char totalLine[64];
  std::snprintf(totalLine, sizeof totalLine, "    wTotalLength       0x%04zx", original.size() + 9 + 9);
  lines[total - 1] = totalLine;
  std::snprintf(totalLine, sizeof totalLine, "    bNumInterfaces     %5u", original[4] + 1u);
  lines[interfaces - 1] = totalLine;
  const std::vector<std::string> hid = {
      "    Interface Descriptor:",       "      bLength                 9",  "      bDescriptorType         4",
      "      bInterfaceNumber        7", "      bAlternateSetting       0",  "      bNumEndpoints           0",
      "      bInterfaceClass         3 Human Interface Device",
      "      bInterfaceSubClass      0", "      bInterfaceProtocol      0",  "      iInterface              0 ",
      "      HID Device Descriptor:",    "        bLength                 9", "        bDescriptorType        33",
      "        bcdHID               1.11", "        bCountryCode            0 Not supported",
      "        bNumDescriptors         1", "        bDescriptorType        34 Report",
      "        wDescriptorLength      52", "        Report Descriptors: ", "          ** UNAVAILABLE **"};
  const size_t status = LineOf(lines, "Device Status:");
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(status - 1), hid.begin(), hid.end());
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(status - 1 + hid.size()),
               {"Binary Object Store Descriptor:", "  bLength                 5"});
  parsed = ParseLsusbText(Joined(lines));
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.raw.configuration.size(), original.size() + 18);
  const std::vector<uint8_t> hidBytes(parsed.raw.configuration.end() - 9, parsed.raw.configuration.end());
  EXPECT_EQ(hidBytes, (std::vector<uint8_t>{9, 0x21, 0x11, 0x01, 0, 1, 0x22, 52, 0}));
  std::string notes;
  for (const std::string &note : parsed.notes) notes += note + "\n";
  EXPECT_NE(notes.find("report descriptor"), std::string::npos) << notes;
  EXPECT_NE(notes.find("\"Binary Object Store Descriptor:\" and what follows"), std::string::npos) << notes;
  EXPECT_EQ(notes.find("Device Status"), std::string::npos) << notes;
}

TEST(LsusbText, DescriptorsLsusbShowsAsHexComeBackFromTheirBytes) {
  // The clock source of Hazel, once as lsusb decodes it and once as it shows
  // a descriptor it cannot decode: the head fields, a warning, the rest in hex.
  const std::vector<uint8_t> original = Built(*FindModel("Hazel")).descriptors.configuration;
  std::vector<std::string> lines = Lines(Printed("Hazel"));
  const size_t clock = LineOf(lines, "bClockID") - 5;  // the header, four lines above
  ASSERT_NE(lines[clock].find("AudioControl Interface Descriptor:"), std::string::npos);
  size_t end = clock + 1;
  while (end < lines.size() && lines[end].find("Descriptor:") == std::string::npos) ++end;
  size_t offset = 0;
  while (offset < original.size() && !(original[offset + 1] == 0x24 && original[offset + 2] == 0x0A)) {
    offset += original[offset];
  }
  ASSERT_LT(offset, original.size());
  std::string hex;
  for (size_t i = 3; i < original[offset]; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, " %02x", original[offset + i]);
    hex += byte;
  }
  lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(clock + 4), lines.begin() + static_cast<std::ptrdiff_t>(end));
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(clock + 4),
               {"        Warning: Descriptor too short", "        Invalid desc subtype:" + hex});
  LsusbTextResult parsed = ParseLsusbText(Joined(lines));
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.raw.configuration, original);
}

TEST(LsusbText, TextOfOtherKindsIsRefusedWithALine) {
  const struct {
    const char *text;
    const char *error;
  } cases[] = {
      {"hello\nworld\n", "line 1: no \"Device Descriptor:\" line"},
      {"Device Descriptor:\n  bLength 18\n  bDescriptorType 1\n", "line 1: Device Descriptor (bLength 18) is cut short"},
      {"Device Descriptor:\n", "line 1: Device Descriptor has no bLength"},
      {"Device Descriptor:\n  bLength 1\n  bDescriptorType 1\n", "line 1: Device Descriptor (bLength 1) has 2 bytes"},
  };
  for (const auto &c : cases) {
    LsusbTextResult parsed = ParseLsusbText(c.text);
    EXPECT_FALSE(parsed.ok);
    EXPECT_EQ(parsed.error.rfind(c.error, 0), 0u) << parsed.error;
  }
}

}  // namespace
