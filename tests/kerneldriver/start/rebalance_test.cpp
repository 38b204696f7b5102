// Resource rebalance: the PnP manager stops the started device (QUERY_STOP,
// STOP_DEVICE) and starts it again, and ks.sys runs PostStart once more.
// The driver releases what the start built, builds it again from the
// device, and keeps its one filter factory with the pins it was created
// with; filters clients hold open go on working. Nothing leaks: the driver
// unloads with its pool checked.
#include "driver_harness.h"
#include "kerneldriver/device/settings.h"

namespace dstest {
namespace {

class RebalanceTest : public DriverStartTest {
 protected:
  // SET_CONFIGURATION requests with this value (0: deconfigured).
  size_t SetConfigurations(uint16_t value) const {
    size_t count = 0;
    for (const RecordedRequest &r : bus->Requests()) {
      count += r.setup.bmRequestType == 0x00 && r.setup.bRequest == 0x09 && r.setup.wValue == value;
    }
    return count;
  }

  // What a client sees of the factory: one enabled interface per category.
  size_t AudioInterfaces() { return machine.Pnp().Interfaces(&KSCATEGORY_AUDIO, true).size(); }
};

TEST_F(RebalanceTest, TheDeviceStartsAgainWithOneFactoryAndTheSamePins) {
  Plug("Larch");
  PKSFILTERFACTORY factory = Ctx().filterFactory;
  const ULONG pins = Ctx().filterDescriptor->filter.PinDescriptorsCount;
  ASSERT_EQ(UsbAudioDeviceChangeSampleRate(Context(), 96000), STATUS_SUCCESS);
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(machine.Pnp().Rebalance(pdo), STATUS_SUCCESS);
    EXPECT_EQ(Node().state, winsim::DeviceNodeState::Started);
    EXPECT_EQ(Node().postStartStatus, STATUS_SUCCESS);
    EXPECT_EQ(SetConfigurations(0), static_cast<size_t>(round)) << "deconfigured at each stop";
    EXPECT_EQ(SetConfigurations(1), 1u + round) << "configured again at each start";
    UsbAudioDevice &context = Ctx();
    EXPECT_EQ(context.filterFactory, factory);
    EXPECT_EQ(context.filterDescriptor->filter.PinDescriptorsCount, pins);
    EXPECT_EQ(AudioInterfaces(), 1u);
    ASSERT_NE(context.audioControl, nullptr);
    ASSERT_NE(context.renderStream, nullptr);
    ASSERT_NE(context.captureStream, nullptr);
    EXPECT_NE(context.streamSync, nullptr);
    EXPECT_EQ(context.sampleRate, 96000u) << "the stored rate is restored";
    EXPECT_EQ(device->ActiveRate(), 96000u);
  }
  ASSERT_EQ(UsbAudioDeviceChangeSampleRate(Context(), 48000), STATUS_SUCCESS);
  Unplug();
  EXPECT_EQ(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr) << "unloaded with nothing left in pool";
}

TEST_F(RebalanceTest, AFilterHeldOpenAcrossTheRebalanceKeepsHearingTheDevice) {
  Plug("Birch");
  ClientFilter client(Ctx().filterFactory);
  ASSERT_TRUE(client.Open());
  EXPECT_EQ(machine.Pnp().Rebalance(pdo), STATUS_SUCCESS);
  EXPECT_EQ(Node().postStartStatus, STATUS_SUCCESS);
  EXPECT_EQ(AudioInterfaces(), 1u);
  ASSERT_EQ(UsbAudioDeviceChangeSampleRate(Context(), 96000), STATUS_SUCCESS);
  EXPECT_EQ(client.Take(KSEVENT_UAC_SAMPLE_RATE_CHANGED).size(), 1u);
  const uint8_t spdif = Model("Birch").clocks[1].id;
  device->SetClockValid(spdif, true);
  EXPECT_TRUE(machine.RunUntil([&] { return device->Status().sent == 1; }, winsim::kTicksPerSecond))
      << "the status interrupt runs again after the restart";
  machine.RunFor(10 * winsim::kTicksPerMillisecond);
  EXPECT_EQ(client.Take(KSEVENT_UAC_STATUS_INTERRUPT).size(), 1u);
  client.Close();
  Unplug();
  EXPECT_EQ(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr);
}

TEST_F(RebalanceTest, AStopIsRefusedWhileAudioPinsAreOpen) {
  Plug("Larch");
  UsbAudioStream *render = Ctx().renderStream;
  ASSERT_EQ(UsbAudioDeviceOpenAudioPin(Context(), 48000), STATUS_SUCCESS);
  const size_t before = bus->RequestCount();
  EXPECT_EQ(machine.Pnp().Rebalance(pdo), STATUS_DEVICE_BUSY);
  EXPECT_EQ(bus->RequestCount(), before) << "the device was not touched";
  EXPECT_EQ(Ctx().renderStream, render);
  EXPECT_EQ(Node().state, winsim::DeviceNodeState::Started);
  UsbAudioDeviceCloseAudioPin(Context());
  EXPECT_EQ(machine.Pnp().Rebalance(pdo), STATUS_SUCCESS);
  EXPECT_NE(Ctx().renderStream, nullptr);
}

// A device whose first start failed (the clock did not answer) starts
// properly when the rebalance starts it again.
// A failed start takes the stack down (problem 43); enabling the device
// again builds a new one that starts.
TEST_F(RebalanceTest, ADeviceWhoseStartFailedStartsAtTheNextStart) {
  const uint8_t clock = Model("Larch").clocks[0].id;
  Plug("Larch", [&](FaultKnobs &knobs) { knobs.stallWhen = winsim::devices::MatchEntityControl(clock, 0x01); });
  ASSERT_EQ(Node().problem, winsim::kProblemFailedPostStart);
  EXPECT_EQ(Node().state, winsim::DeviceNodeState::Removed);
  EXPECT_EQ(Context(), nullptr);
  EXPECT_EQ(machine.Pnp().Rebalance(pdo), STATUS_INVALID_DEVICE_STATE);
  device->EditFaults([](FaultKnobs &knobs) { knobs.stallWhen = nullptr; });
  EXPECT_EQ(machine.Pnp().EnableDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(Node().postStartStatus, STATUS_SUCCESS);
  EXPECT_EQ(Node().problem, winsim::kProblemNone);
  EXPECT_NE(Ctx().filterFactory, nullptr);
  EXPECT_EQ(Ctx().filterDescriptor->filter.PinDescriptorsCount, 12u);
  Unplug();
  EXPECT_EQ(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr);
}

}  // namespace
}  // namespace dstest
