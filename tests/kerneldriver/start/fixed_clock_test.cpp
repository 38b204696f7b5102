// Clocks whose rate the host may not write: a fixed clock and an external
// one stall the write, as real devices do. The driver's rate change reports
// the failure unless the clock already runs at the rate asked for; so pins
// still open at that rate, also after a sleep (whose restoring write the
// clock refuses too).
#include "../streaming/stream_harness.h"
#include "kerneldriver/control/audio_control.h"
#include "kerneldriver/device/sample_rate.h"
#include "winsim/usb/usb_pdo.h"

namespace sttest {
namespace {

using winsim::devices::ClockRateWrites;
using winsim::devices::DeviceModel;

struct RefusedCase {
  const char *name;
  const char *model;
  uint8_t selectorInput;  // 0: leave the selector alone
  ULONG rate;
  ClockRateWrites writes;
  NTSTATUS status;
};

class ClockWrite : public StreamTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(ClockWrite, AStalledRateWriteFailsTheRateChange) {
  DeviceModel model = dstest::Model(GetParam().model);
  model.behaviour.clockRateWrites = GetParam().writes;
  Plug(dstest::Build(model));
  if (GetParam().selectorInput != 0) {
    ASSERT_EQ(AudioControlSelectClockInput(Ctx().audioControl, GetParam().selectorInput), STATUS_SUCCESS);
  }
  const uint8_t clock = device->ActiveClock();
  const uint32_t before = device->ClockRate(clock);
  EXPECT_EQ(UsbAudioDeviceChangeSampleRate(&Ctx(), GetParam().rate), GetParam().status);
  const bool changed = NT_SUCCESS(GetParam().status);
  EXPECT_EQ(device->ClockRate(clock), changed ? GetParam().rate : before);
  EXPECT_EQ(Ctx().sampleRate, changed ? GetParam().rate : before);
}

constexpr auto kStrict = ClockRateWrites::InternalVariableOrProgrammable;

INSTANTIATE_TEST_SUITE_P(
    Clocks, ClockWrite,
    ::testing::Values(RefusedCase{"FixedClockItsOwnRate", "Hazel", 0, 48000, kStrict, STATUS_SUCCESS},
                      RefusedCase{"FixedClockAnotherRate", "Hazel", 0, 44100, kStrict, STATUS_INTERNAL_ERROR},
                      RefusedCase{"FixedClockOnALenientDevice", "Hazel", 0, 48000, ClockRateWrites::AnyListedRate,
                                  STATUS_SUCCESS},
                      RefusedCase{"ExternalClock", "Larch", 2, 96000, kStrict, STATUS_INTERNAL_ERROR},
                      RefusedCase{"InternalClock", "Larch", 1, 96000, kStrict, STATUS_SUCCESS}),
    [](const auto &info) { return std::string(info.param.name); });

// After a sleep the driver writes its rate again; a fixed clock refuses,
// and the rate is forgotten. Opening a pin at the rate the clock runs at
// must still work: the clock is where the pin wants it.
TEST_F(StreamTest, AFixedClockStillOpensPinsAtItsRateAfterASleep) {
  Plug("Hazel");
  ASSERT_EQ(Ctx().sampleRate, 48000u);
  ASSERT_TRUE(machine.Suspend());
  machine.Resume();
  bool changed = true;
  ASSERT_EQ(UsbAudioDeviceOpenAudioPin(&Ctx(), 48000, &changed), STATUS_SUCCESS);
  EXPECT_EQ(Ctx().sampleRate, 48000u);
  UsbAudioDeviceCloseAudioPin(&Ctx());
  EXPECT_EQ(UsbAudioDeviceOpenAudioPin(&Ctx(), 44100, &changed), STATUS_INSUFFICIENT_RESOURCES)
      << "a rate the fixed clock does not run at";
}

}  // namespace
}  // namespace sttest
