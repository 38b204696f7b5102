// Devices that leave while the driver object holds their filters: the
// object lets go of them at release, and the kernel driver then unloads
// with nothing left behind.
#include <string>

#include "asio_machine.h"

namespace asiotest {
namespace {

using AsioRemoval = AsioMachineTest;

size_t Unloads(const winsim::Machine &machine) {
  size_t count = 0;
  for (const winsim::LogLine &line : machine.Log()) {
    count += line.text.find("unloading QavAudio") != std::string::npos ? 1 : 0;
  }
  return count;
}

// Both devices' removals wait for the object's handles and finish together
// when it goes; the driver unloads once, after both PDOs went (an unload
// between the two would find the second one's memory still held).
TEST_F(AsioRemoval, TwoDevicesRemovedUnderTheObjectUnloadTheDriverOnceBothAreGone) {
  Plug("Alder");
  Plug("Rowan");
  NewDriver();
  ASSERT_EQ(asio->init(nullptr), ASIOTrue);
  Unplug(1, true);
  Unplug(0, true);
  LONG inputs = 0, outputs = 0;
  EXPECT_EQ(asio->getChannels(&inputs, &outputs), ASE_OK) << "the devices are fixed at init";
  ReleaseDriver();
  machine.Pnp().WaitIdle();
  machine.RunFor(3 * winsim::kTicksPerSecond);
  EXPECT_EQ(Unloads(machine), 1u);
}

}  // namespace
}  // namespace asiotest
