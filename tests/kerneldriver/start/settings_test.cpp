// The two settings the driver keeps in the device's driver key: UrbSize
// (default 3, persisted across device starts, raised to the measured
// minimum) and SampleRate (restored at start when the clock accepts it).
#include "driver_harness.h"

namespace dstest {
namespace {

using SettingsTest = DriverStartTest;

TEST_F(SettingsTest, UrbSizeIsThreeWithoutAStoredValueAndNothingIsWritten) {
  Plug("Larch");
  EXPECT_EQ(Ctx().urbSize, 3u);
  EXPECT_EQ(ReadDriverDword(u"UrbSize"), std::nullopt);
}

TEST_F(SettingsTest, AChangedUrbSizeIsStoredAndReadAtTheNextStart) {
  Plug("Larch");
  EXPECT_EQ(UsbAudioDeviceSetUrbSize(Context(), 5), STATUS_SUCCESS);
  EXPECT_EQ(ReadDriverDword(u"UrbSize"), 5u);
  EXPECT_EQ(Ctx().renderStream->framesPerUrb, 5u);
  Replug();
  EXPECT_EQ(Ctx().urbSize, 5u);
  EXPECT_EQ(Ctx().captureStream->framesPerUrb, 5u);
}

TEST_F(SettingsTest, AStoredUrbSizeBelowTheMinimumIsRaisedAndStoredAgain) {
  Plug("Larch");
  WriteDriverDword(u"UrbSize", 0);
  Replug();
  EXPECT_GE(Ctx().minUrbSize, 1u);
  EXPECT_EQ(Ctx().urbSize, Ctx().minUrbSize);
  EXPECT_EQ(ReadDriverDword(u"UrbSize"), Ctx().minUrbSize);
}

TEST_F(SettingsTest, AStoredUrbSizeOfAnotherTypeIsIgnored) {
  Plug("Larch");
  HANDLE key = nullptr;
  UNICODE_STRING path;
  std::u16string driverKey = Node().driverKey;
  RtlInitUnicodeString(&path, reinterpret_cast<PCWSTR>(driverKey.c_str()));
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  ASSERT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(u"UrbSize"));
  uint8_t bytes[4] = {5, 0, 0, 0};
  ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_BINARY, bytes, sizeof bytes), STATUS_SUCCESS);
  ZwClose(key);
  Replug();
  EXPECT_EQ(Ctx().urbSize, 3u);
}

struct RateCase {
  const char *what;
  std::optional<uint32_t> stored;
  uint32_t expected;
};

TEST_F(SettingsTest, AStoredSampleRateIsUsedOnlyWhenTheClockAcceptsIt) {
  const std::vector<RateCase> cases = {
      {"no stored rate: the clock's own", std::nullopt, 48000},
      {"a rate the clock lists", 96000, 96000},
      {"a rate the clock refuses", 12345, 48000},
  };
  Plug("Larch");
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    if (c.stored) WriteDriverDword(u"SampleRate", *c.stored);
    Replug();
    EXPECT_EQ(Ctx().sampleRate, c.expected);
    EXPECT_EQ(device->ActiveRate(), c.expected);
    EXPECT_EQ(Ctx().renderStream->nominalRate, c.expected);
    EXPECT_EQ(ReadDriverDword(u"SampleRate"), c.stored) << "the start writes nothing";
  }
}

TEST_F(SettingsTest, ASuccessfulRateChangeIsStored) {
  Plug("Maple");
  EXPECT_EQ(UsbAudioDeviceChangeSampleRate(Context(), 88200), STATUS_SUCCESS);
  EXPECT_EQ(ReadDriverDword(u"SampleRate"), 88200u);
  Replug();
  EXPECT_EQ(Ctx().sampleRate, 88200u);
}

}  // namespace
}  // namespace dstest
