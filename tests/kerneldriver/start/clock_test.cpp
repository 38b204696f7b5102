// Clock behaviour at start and afterwards: the 0x800C product's clock
// sequence, the status interrupt keeping clock validity current, and the
// sample-rate change with its refusal while pins are open.
#include "driver_harness.h"

namespace dstest {
namespace {

using ClockTest = DriverStartTest;

std::vector<uint32_t> RatesSetOn(const RecordingFunction &recorder, uint8_t clock) {
  std::vector<uint32_t> rates;
  for (const auto &r : recorder.Requests()) {
    if (IsSetCur(r.setup, clock, 0x01)) rates.push_back(Le32(r.outData));
  }
  return rates;
}

TEST_F(ClockTest, Product800CSeesNinetySixThenFortyFourKilohertzBeforeTheStoredRate) {
  Plug("Birch");
  EXPECT_EQ(Model("Birch").productId, 0x800C);
  const uint8_t internal = Model("Birch").clocks[0].id;
  // At start the driver writes back the rate it read (48000), then the sequence.
  EXPECT_EQ(RatesSetOn(*bus, internal), (std::vector<uint32_t>{48000, 96000, 44100}));
  EXPECT_EQ(Ctx().sampleRate, 44100u);
  WriteDriverDword(u"SampleRate", 192000);
  Replug();
  EXPECT_EQ(RatesSetOn(*bus, internal), (std::vector<uint32_t>{48000, 96000, 44100, 192000}));
  EXPECT_EQ(Ctx().sampleRate, 192000u);
}

TEST_F(ClockTest, OtherProductsGetNoClockSequence) {
  Plug("Larch");
  EXPECT_EQ(RatesSetOn(*bus, Model("Larch").clocks[0].id), (std::vector<uint32_t>{48000}));
}

TEST_F(ClockTest, TheStatusInterruptRefreshesValidityAndKeepsListening) {
  Plug("Birch");
  const uint8_t spdif = Model("Birch").clocks[1].id;
  UsbAudioControl *control = Ctx().audioControl;
  ASSERT_NE(control, nullptr);
  ASSERT_EQ(control->clockIdByNumber[1], spdif);
  ASSERT_EQ(control->clocks[1].Attributes & UAC_CLOCK_VALID, 0u);
  for (bool valid : {true, false, true}) {
    device->SetClockValid(spdif, valid);
    auto reported = [&] { return ((control->clocks[1].Attributes & UAC_CLOCK_VALID) != 0) == valid; };
    EXPECT_TRUE(machine.RunUntil(reported, winsim::kTicksPerSecond)) << "validity " << valid;
  }
  EXPECT_EQ(device->Status().sent, 3u);
}

TEST_F(ClockTest, AnInterruptMessageNamesTheClockWhoseValidityIsRead) {
  Plug("Larch");
  UsbAudioControl *control = Ctx().audioControl;
  const uint8_t adat = Model("Larch").clocks[2].id;
  ASSERT_TRUE(device->ClockValid(adat));
  ASSERT_EQ(control->clocks[2].Attributes & UAC_CLOCK_VALID, 0u) << "only the first clock is read at start";
  size_t before = bus->RequestCount();
  const UCHAR message[6] = {0x00, 0x01, 0x00, 0x01, 0x00, adat};
  AudioControlHandleInterruptMessage(control, message, sizeof message);
  EXPECT_NE(control->clocks[2].Attributes & UAC_CLOCK_VALID, 0u);
  EXPECT_EQ(bus->RequestCount(), before + 2);  // frequency, then validity
  const UCHAR shortMessage[5] = {0x00, 0x01, 0x00, 0x01, 0x00};
  AudioControlHandleInterruptMessage(control, shortMessage, sizeof shortMessage);
  EXPECT_EQ(bus->RequestCount(), before + 2) << "a message shorter than six bytes names no clock";
}

TEST_F(ClockTest, ARateChangeWhilePinsAreOpenIsRefusedWithoutARequest) {
  Plug("Larch");
  Ctx().openAudioPins = 1;
  size_t before = bus->RequestCount();
  EXPECT_EQ(UsbAudioDeviceChangeSampleRate(Context(), 96000), static_cast<NTSTATUS>(0xC0000708));
  EXPECT_EQ(bus->RequestCount(), before);
  EXPECT_EQ(Ctx().sampleRate, 48000u);
  Ctx().openAudioPins = 0;
  EXPECT_EQ(UsbAudioDeviceChangeSampleRate(Context(), 96000), STATUS_SUCCESS);
  EXPECT_EQ(device->ActiveRate(), 96000u);
  EXPECT_EQ(Ctx().captureStream->nominalRate, 96000u);
  EXPECT_EQ(Ctx().renderStream->nominalRate, 96000u);
}

TEST_F(ClockTest, ARateTheClockRefusesFailsTheChangeAndKeepsTheRate) {
  Plug("Larch");
  EXPECT_EQ(UsbAudioDeviceChangeSampleRate(Context(), 12345), STATUS_INTERNAL_ERROR);
  EXPECT_EQ(Ctx().sampleRate, 48000u);
  EXPECT_EQ(ReadDriverDword(u"SampleRate"), std::nullopt);
}

}  // namespace
}  // namespace dstest
