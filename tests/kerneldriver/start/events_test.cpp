// The private events reach the filters clients hold open: the driver walks
// its factory's filters under the KS device mutex (winsim stops the machine
// on a walk without it) from the rate change, the status-interrupt work
// item, the UrbSize change, surprise removal and removal.
#include "driver_harness.h"

namespace dstest {
namespace {

std::vector<uint8_t> Le32Bytes(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

using EventsTest = DriverStartTest;

TEST_F(EventsTest, AnOpenFilterHearsEveryPrivateEventUpToSurpriseRemoval) {
  Plug("Birch");
  ClientFilter client(Ctx().filterFactory);
  ASSERT_TRUE(client.Open());

  ASSERT_EQ(UsbAudioDeviceChangeSampleRate(Context(), 96000), STATUS_SUCCESS);
  EXPECT_EQ(client.Take(KSEVENT_UAC_SAMPLE_RATE_CHANGED), (std::vector<std::vector<uint8_t>>{Le32Bytes(96000)}));

  const uint8_t spdif = Model("Birch").clocks[1].id;
  device->SetClockValid(spdif, true);
  std::vector<std::vector<uint8_t>> interrupts;
  EXPECT_TRUE(machine.RunUntil([&] { return device->Status().sent == 1; }, winsim::kTicksPerSecond));
  machine.RunFor(10 * winsim::kTicksPerMillisecond);  // the work item raises the event
  interrupts = client.Take(KSEVENT_UAC_STATUS_INTERRUPT);
  ASSERT_EQ(interrupts.size(), 1u);
  EXPECT_EQ(interrupts[0].size(), 6u);
  EXPECT_EQ(interrupts[0][5], spdif);

  ASSERT_EQ(UsbAudioDeviceSetUrbSize(Context(), 5), STATUS_SUCCESS);
  EXPECT_EQ(client.Take(KSEVENT_UAC_URB_SIZE_CHANGED), (std::vector<std::vector<uint8_t>>{Le32Bytes(5)}));

  Unplug(/*surprise=*/true);  // REMOVE_DEVICE waits for the client's handle
  EXPECT_EQ(client.Take(KSEVENT_UAC_DEVICE_REMOVED), (std::vector<std::vector<uint8_t>>{{}}));
  EXPECT_NE(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr);
  client.Close();
  machine.Pnp().WaitIdle();
  EXPECT_EQ(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr) << "removed and unloaded once the handle closed";
}

}  // namespace
}  // namespace dstest
