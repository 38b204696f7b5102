// MIDI pin names: the filter's friendly name and the cable's port, only
// when a direction has more than one MIDI pin.
#include <gtest/gtest.h>

#include <string>

#include "kerneldriver/ks/filter_automation.h"
#include "kerneldriver/midi/midi_pin_name.h"
#include "tests/kerneldriver/start/driver_harness.h"

namespace dstest {
namespace {

std::u16string Text(const WCHAR *name, ULONG bytes) {
  return bytes >= 2 ? std::u16string(reinterpret_cast<const char16_t *>(name), bytes / 2 - 1) : std::u16string();
}

TEST(MidiPinNameText, IsTheFriendlyNameCutToItsBoundThenThePort) {
  struct Case {
    std::u16string friendly;
    ULONG cable;
    std::u16string name;
  };
  const std::u16string longName(200, u'x');
  const Case cases[] = {
      {u"Larch", 0, u"Larch: Port 1"},
      {u"Larch", 15, u"Larch: Port 16"},
      {u"", 1, u": Port 2"},
      {longName, 15, std::u16string(120, u'x') + u": Port 16"},
  };
  for (const Case &c : cases) {
    WCHAR name[kMidiPinNameBytes / 2];
    const ULONG bytes = MidiComposePinName(reinterpret_cast<const WCHAR *>(c.friendly.data()),
                                           static_cast<ULONG>(c.friendly.size()), c.cable, name);
    EXPECT_LE(bytes, kMidiPinNameBytes);
    EXPECT_EQ(Text(name, bytes), c.name);
    EXPECT_EQ(name[bytes / 2 - 1], 0) << "terminated";
  }
}

using MidiPinNameTest = DriverStartTest;

std::u16string ProductName(const UsbAudioDevice &device) {
  return std::u16string(reinterpret_cast<const char16_t *>(device.productName));
}

// Larch: two cables per direction, so every MIDI streaming pin is named.
TEST_F(MidiPinNameTest, TwoCablesPerDirectionNameEachStreamingPinAfterItsPort) {
  Plug("Larch");
  const std::u16string friendly = ProductName(Ctx());
  ASSERT_FALSE(friendly.empty());
  struct Case {
    ULONG pin;
    std::u16string name;
  };
  for (const Case &c : {Case{4, friendly + u": Port 1"}, Case{6, friendly + u": Port 2"},
                        Case{8, friendly + u": Port 1"}, Case{10, friendly + u": Port 2"}, Case{5, u""},
                        Case{0, u""}}) {
    SCOPED_TRACE(c.pin);
    WCHAR name[kMidiPinNameBytes / 2] = {};
    ULONG returned = 99;
    EXPECT_EQ(FilterPinName(&Ctx(), c.pin, name, sizeof name, &returned), STATUS_SUCCESS);
    EXPECT_EQ(Text(name, returned), c.name);
  }
  WCHAR shortBuffer[4];
  ULONG needed = 0;
  EXPECT_EQ(FilterPinName(&Ctx(), 4, shortBuffer, sizeof shortBuffer, &needed), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(needed, (friendly.size() + 9) * 2);  // ": Port 1" and the terminator
}

TEST_F(MidiPinNameTest, OneCablePerDirectionLeavesThePinsUnnamed) {
  Plug("Rowan");
  for (ULONG pin = 4; pin < 8; ++pin) {
    WCHAR name[8];
    ULONG returned = 99;
    EXPECT_EQ(FilterPinName(&Ctx(), pin, name, sizeof name, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 0u);
  }
}

}  // namespace
}  // namespace dstest
