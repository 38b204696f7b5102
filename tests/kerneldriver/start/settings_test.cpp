// The two settings the driver keeps in the device's driver key: UrbSize
// (default 3, persisted across device starts, raised to the measured
// minimum) and SampleRate (restored at start when the clock accepts it).
#include <memory>

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
  WriteDriverDword(u"UrbSize", 2);
  // Completions 4 ms late: the probe measures a minimum of 4.
  machine.Bus(1)->Controller().SetCompletionLatency([](std::mt19937 &) { return winsim::VTime{32000}; });
  Replug();
  EXPECT_EQ(Ctx().minUrbSize, 4u);
  EXPECT_EQ(Ctx().urbSize, 4u);
  EXPECT_EQ(ReadDriverDword(u"UrbSize"), 4u);
}

// The second latency probe cannot select its alternate setting (the device
// stalls SET_INTERFACE three times running): the first probe's result is
// the minimum.
TEST_F(SettingsTest, ASecondLatencyProbeThatFailsKeepsTheFirstResult) {
  machine.Bus(1)->Controller().SetCompletionLatency([](std::mt19937 &) { return winsim::VTime{32000}; });
  auto setInterfaces = std::make_shared<int>(0);
  Plug("Larch", [setInterfaces](FaultKnobs &knobs) {
    knobs.stallWhen = [setInterfaces](const SetupPacket &setup) {
      if (!IsSetInterface(setup)) return false;
      ++*setInterfaces;  // the first probe selects and deselects; the second's three tries fail
      return *setInterfaces >= 3 && *setInterfaces <= 5;
    };
  });
  EXPECT_EQ(device->Faults().stalled, 3u);
  EXPECT_EQ(Ctx().minUrbSize, 4u);
  EXPECT_EQ(Ctx().urbSize, 4u);
}

struct StoredUrbSize {
  uint32_t stored;
  uint32_t used;
};

// 0 means nothing and leaves the default; more than the streams carry (128
// frames per URB) is cut to 128. What is stored stays as it was.
TEST_F(SettingsTest, AStoredUrbSizeIsKeptWithinWhatTheStreamsCarry) {
  Plug("Larch");
  for (const StoredUrbSize &c : {StoredUrbSize{0, 3}, StoredUrbSize{1, 1}, StoredUrbSize{10, 10},
                                 StoredUrbSize{128, 128}, StoredUrbSize{129, 128}, StoredUrbSize{0xFFFFFFFF, 128}}) {
    SCOPED_TRACE(c.stored);
    WriteDriverDword(u"UrbSize", c.stored);
    Replug();
    EXPECT_EQ(Ctx().urbSize, c.used);
    EXPECT_EQ(Ctx().renderStream->framesPerUrb, c.used);
    EXPECT_EQ(ReadDriverDword(u"UrbSize"), c.stored);
  }
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
