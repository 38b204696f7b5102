// The driver across system power transitions and the PnP paths a real
// system produces: streams resume with the sound the device had (clock and
// alternate settings restored after a power loss), nothing reaches a
// suspended device, a device unplugged while asleep, disable/enable, a
// replug while the old instance waits, and removal during each work item.
#include <gtest/gtest.h>

#include "../streaming/stream_harness.h"
#include "kerneldriver/control/audio_control.h"
#include "kerneldriver/usb/usb_transport.h"
#include "winsim/usb/usb_pdo.h"

namespace sttest {
namespace {

using dstest::FaultKnobs;
using dstest::Model;
constexpr winsim::VTime kMs = winsim::kTicksPerSecond / 1000;

class PowerResumeTest : public StreamTest {
 protected:
  void TearDown() override {
    winsim::usb::UsbPdo::SetSleepCutsBusPower(false);
    StreamTest::TearDown();
  }
  winsim::usb::UsbPdo &Pdo() { return *winsim::usb::UsbPdo::FromDevice(pdo); }
};

struct Transition {
  const char *name;
  bool sleepCutsPower;
  bool hibernate;
  bool powerLost;
};

// Both streams run at 96 kHz (not the rate the device powers up with) when
// the machine goes down; after the wake the device runs at 96 kHz again, its
// streaming interfaces are selected again, and the ramp goes on playing.
// Nothing was sent to the device while it was suspended.
TEST_F(PowerResumeTest, StreamsRunningAcrossSleepAndHibernateResumeWithTheirClockAndSettings) {
  const Transition cases[] = {
      {"sleep", false, false, false},
      {"sleep that cuts bus power", true, false, true},
      {"hibernate", false, true, true},
  };
  for (const Transition &c : cases) {
    SCOPED_TRACE(c.name);
    winsim::usb::UsbPdo::SetSleepCutsBusPower(c.sleepCutsPower);
    Plug("Larch");
    ASSERT_EQ(UsbAudioDeviceChangeSampleRate(&Ctx(), 96000), STATUS_SUCCESS);
    WatchPlayedOutput();
    auto [render, capture] = RunBoth();
    machine.RunFor(300 * kMs);
    const uint32_t losses = device->PowerLosses();
    ASSERT_TRUE(c.hibernate ? machine.Hibernate() : machine.Suspend());
    EXPECT_EQ(device->PowerLosses(), losses + (c.powerLost ? 1u : 0u));
    machine.RunFor(500 * kMs);
    machine.Resume();
    // What the device's buffer held when it went down (lost with its power,
    // or played first after a plain sleep) breaks the ramp once; from then
    // on every frame must come in order.
    machine.RunFor(100 * kMs);
    WatchPlayedOutput();
    machine.RunFor(1000 * kMs);
    EXPECT_EQ(device->ActiveRate(), 96000u);
    EXPECT_EQ(device->AlternateSetting(Render().usbInterface->interfaceNumber), Render().altSetting);
    EXPECT_EQ(device->AlternateSetting(Capture().usbInterface->interfaceNumber), Capture().altSetting);
    EXPECT_GT(Played().RampFrames(), 90000u) << "no sound after resume";
    EXPECT_EQ(Played().Errors(), 0u) << "first at " << Played().FirstErrorAt();
    EXPECT_GT(capture.Checker().RampFrames(), 0u);
    EXPECT_EQ(Pdo().UrbsRefusedPoweredDown(), 0u);
    EXPECT_EQ(Pdo().TransfersCancelledAtPowerDown(), 0u);
    EXPECT_EQ(Ctx().sampleRate, 96000u);
    Leave(render);
    Leave(capture);
    device->SetPlayedSink(nullptr);
    Unplug();
  }
}

// The check itself: a request sent to a suspended device fails without
// reaching it, and is counted.
TEST_F(PowerResumeTest, ARequestToASuspendedDeviceFailsWithoutReachingIt) {
  Plug("Larch");
  ASSERT_TRUE(machine.Suspend());
  const size_t before = bus->RequestCount();
  ULONG rate = 0;
  EXPECT_EQ(AudioControlReadRate(Ctx().audioControl, &rate), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(bus->RequestCount(), before);
  EXPECT_EQ(Pdo().UrbsRefusedPoweredDown(), 1u);
  machine.Resume();
  EXPECT_EQ(AudioControlReadRate(Ctx().audioControl, &rate), STATUS_SUCCESS);
}

// Pins that leave RUN while the device is down stop their streams for good:
// the power-up must not start them again.
TEST_F(PowerResumeTest, AStreamItsPinsStoppedWhileDownIsNotStartedAtD0) {
  Plug("Larch");
  auto [render, capture] = RunBoth();
  machine.RunFor(100 * kMs);
  ASSERT_TRUE(machine.Suspend());
  ASSERT_TRUE(Render().paused);
  Leave(render);
  Leave(capture);
  EXPECT_FALSE(Render().paused);
  EXPECT_FALSE(Capture().paused);
  machine.Resume();
  machine.RunFor(100 * kMs);
  EXPECT_FALSE(Running(&Render()));
  EXPECT_FALSE(Running(&Capture()));
  EXPECT_EQ(Render().outstanding, 0);
}

// Unplugged while asleep: at wake the driver gets D0 (its streams cannot
// start on a device that is gone), then surprise removal and removal; the
// driver unloads without a leak.
TEST_F(PowerResumeTest, ADeviceUnpluggedWhileAsleepIsRemovedCleanlyAtWake) {
  Plug("Larch");
  auto [render, capture] = RunBoth();
  machine.RunFor(100 * kMs);
  ASSERT_TRUE(machine.Suspend());
  Leave(render);
  Leave(capture);
  machine.UnplugDevice(handle, /*surprise=*/true);
  EXPECT_NE(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr) << "nobody noticed while asleep";
  handle = {};
  machine.Resume();
  machine.Pnp().WaitIdle();
  EXPECT_EQ(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr);
  EXPECT_TRUE(LogHas(machine, "surprise-removed"));
}

// Disable and enable: a new AddDevice on the same device starts cleanly
// with the settings stored before.
TEST_F(PowerResumeTest, DisableThenEnableStartsAgainWithTheStoredSettings) {
  Plug("Larch");
  ASSERT_EQ(UsbAudioDeviceChangeSampleRate(&Ctx(), 96000), STATUS_SUCCESS);
  ASSERT_EQ(UsbAudioDeviceSetUrbSize(&Ctx(), 5), STATUS_SUCCESS);
  ASSERT_EQ(machine.Pnp().DisableDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(Context(), nullptr);
  EXPECT_EQ(Node().problem, winsim::kProblemDisabled);
  ASSERT_EQ(machine.Pnp().EnableDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(Node().postStartStatus, STATUS_SUCCESS);
  EXPECT_EQ(Ctx().sampleRate, 96000u);
  EXPECT_EQ(Ctx().urbSize, 5u);
  EXPECT_EQ(device->ActiveRate(), 96000u);
  auto [render, capture] = RunBoth();
  machine.RunFor(200 * kMs);
  EXPECT_GT(render.FramesMoved(), 10000u);
  Leave(render);
  Leave(capture);
}

// The same interface plugged again while its old instance waits for a
// handle: the new one starts once the old one is gone.
TEST_F(PowerResumeTest, AReplugWhileTheOldInstanceWaitsForAHandleStartsAfterIt) {
  Plug("Larch");
  PDEVICE_OBJECT old = pdo;
  machine.Pnp().HandleOpened(old);
  machine.UnplugDevice(handle, true);
  handle = machine.PlugDevice(bus);
  machine.Pnp().WaitIdle();
  PDEVICE_OBJECT fresh = nullptr;
  for (const auto &info : machine.UsbDevices()) {
    if (info.handle == handle) fresh = info.pdo;
  }
  ASSERT_NE(fresh, nullptr);
  EXPECT_FALSE(machine.Pnp().Device(fresh).has_value()) << "it waits for the old instance";
  machine.Pnp().HandleClosed(old);
  machine.Pnp().WaitIdle();
  pdo = fresh;
  EXPECT_EQ(Node().state, winsim::DeviceNodeState::Started);
  EXPECT_EQ(Node().postStartStatus, STATUS_SUCCESS);
  EXPECT_NE(Context(), nullptr);
}

// Removal while each of the driver's work items runs (held in a device
// request that never finishes) or is still queued: no bug check, nothing
// leaks, the driver unloads.
TEST_F(PowerResumeTest, RemovalDuringEachWorkItemIsSafe) {
  struct Case {
    const char *name;
    const char *model;
    std::function<void()> start;
  };
  const Case cases[] = {
      {"status interrupt work item, its clock validity read held", "Birch",
       [&] {
         const uint8_t spdif = Model("Birch").clocks[1].id;
         device->EditFaults([&](FaultKnobs &knobs) {
           knobs.neverFinishWhen = winsim::devices::MatchEntityControl(spdif, 0x02);
         });
         device->SetClockValid(spdif, true);
         EXPECT_TRUE(machine.RunUntil([&] { return device->Status().sent == 1; }, winsim::kTicksPerSecond));
         machine.RunFor(50 * kMs);
       }},
      {"recovery work item, its pipe reset held", "Larch",
       [&] {
         // The streams run without pins (render sends silence); Remove
         // destroys them with the render stream's recovery still held.
         UsbAudioStream *render = Ctx().renderStream;
         for (UsbAudioStream *stream : {Ctx().captureStream, render}) {
           ASSERT_EQ(UsbAudioStreamPrepareTransfers(stream), STATUS_SUCCESS);
           ASSERT_EQ(UsbAudioStreamStart(stream), STATUS_SUCCESS);
         }
         machine.RunFor(100 * kMs);
         device->EditFaults([&](FaultKnobs &knobs) {
           knobs.neverFinishWhen = winsim::devices::MatchStandardRequest(USB_REQUEST_CLEAR_FEATURE);
         });
         machine.Bus(1)->Controller().MissServiceIntervals(8 * 4000, 0x01);
         EXPECT_TRUE(machine.RunUntil([&] { return render->recoveryQueued != 0 || render->running == 0; }, 500 * kMs));
         machine.Bus(1)->Controller().MissServiceIntervals(0);
       }},
      {"endpoint-format update, still queued", "Larch",
       [&] { ASSERT_EQ(UsbAudioDeviceChangeSampleRate(&Ctx(), 96000), STATUS_SUCCESS); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Plug(c.model);
    c.start();
    machine.UnplugDevice(handle, /*surprise=*/true);
    handle = {};
    machine.Pnp().WaitIdle();
    EXPECT_EQ(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr);
    installed = false;
  }
}

}  // namespace
}  // namespace sttest
