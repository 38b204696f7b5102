// Surprise removal, the capabilities the driver reports, and system power
// transitions.
#include <functional>

#include "driver_harness.h"
#include "kerneldriver/usb/usb_configure.h"
#include "kerneldriver/usb/usb_transport.h"
#include "winsim/usb/usb_pdo.h"

namespace dstest {
namespace {

using RemovalPowerTest = DriverStartTest;

TEST_F(RemovalPowerTest, AfterSurpriseRemovalEveryRequestFailsWithoutReachingTheBus) {
  Plug("Larch");
  EXPECT_TRUE(Node().capabilities.SurpriseRemovalOK);
  PDEVICE_OBJECT heldPdo = pdo;
  UsbAudioDevice *context = Context();
  // An open handle keeps REMOVE_DEVICE back, so the driver lives on after SURPRISE_REMOVAL.
  machine.Pnp().HandleOpened(heldPdo);
  Unplug(/*surprise=*/true);
  size_t before = bus->RequestCount();
  USB_DEVICE_DESCRIPTOR descriptor;
  ULONG received = 0;
  EXPECT_EQ(UsbGetDescriptor(&context->config, 1, 0, 0, &descriptor, sizeof descriptor, &received),
            STATUS_DEVICE_REMOVED);
  ULONG rate = 0;
  EXPECT_EQ(AudioControlReadRate(context->audioControl, &rate), STATUS_DEVICE_REMOVED);
  EXPECT_EQ(UsbSelectAlternateSetting(context->renderStream->usbInterface, 1), STATUS_DEVICE_REMOVED);
  EXPECT_EQ(UsbAudioDeviceChangeSampleRate(context, 96000), STATUS_INTERNAL_ERROR);
  EXPECT_EQ(bus->RequestCount(), before);
  machine.Pnp().HandleClosed(heldPdo);
  machine.Pnp().WaitIdle();
  EXPECT_EQ(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr);
}

// The bus references its interface once for the driver when it answers the
// query; the driver dereferences it once when it deconfigures at removal.
TEST_F(RemovalPowerTest, TheBusInterfaceIsReferencedOnceWhileStartedAndReleasedAtRemoval) {
  Plug("Alder");
  winsim::usb::UsbPdo *usbPdo = winsim::usb::UsbPdo::FromDevice(pdo);
  ASSERT_NE(usbPdo, nullptr);
  EXPECT_EQ(usbPdo->BusInterfaceReferences(), 1);
  Unplug();
  EXPECT_EQ(usbPdo->BusInterfaceReferences(), 0);
}

// Rates the device's clock was set to from request `from` on.
std::vector<uint32_t> RatesSet(const RecordingFunction &recorder, uint8_t clock, size_t from) {
  std::vector<uint32_t> rates;
  auto requests = recorder.Requests();
  for (size_t i = from; i < requests.size(); ++i) {
    if (IsSetCur(requests[i].setup, clock, 0x01)) rates.push_back(Le32(requests[i].outData));
  }
  return rates;
}

struct PowerCase {
  const char *what;
  std::function<bool(winsim::Machine &)> transition;
  bool powerLost;  // the clock forgets its rate: the next pin sets it again
};

// Two pins stay open across the transition. The count of open pins is never
// touched by it (they close afterwards and it reaches 0, not below); after a
// carried-out hibernate the next pin sets the rate again, even the same one.
TEST_F(RemovalPowerTest, AHibernateCarriedOutMakesTheNextPinSetTheRateAgain) {
  const PowerCase cases[] = {
      {"sleep", [](winsim::Machine &m) { return m.Suspend(); }, false},
      {"hibernate", [](winsim::Machine &m) { return m.Hibernate(); }, true},
      {"critical hibernate, no query", [](winsim::Machine &m) { return m.Hibernate(/*critical=*/true); }, true},
  };
  const uint8_t clock = Model("Larch").clocks[0].id;
  for (const PowerCase &c : cases) {
    SCOPED_TRACE(c.what);
    Plug("Larch");
    ASSERT_EQ(UsbAudioDeviceOpenAudioPin(Context(), 48000), STATUS_SUCCESS);
    ASSERT_EQ(UsbAudioDeviceOpenAudioPin(Context(), 48000), STATUS_SUCCESS);
    EXPECT_TRUE(c.transition(machine));
    EXPECT_EQ(Ctx().sampleRate, c.powerLost ? 0u : 48000u);
    EXPECT_EQ(Ctx().openAudioPins, 2);
    machine.Resume();
    EXPECT_EQ(UsbAudioDeviceOpenAudioPin(Context(), 96000), STATUS_INSUFFICIENT_RESOURCES)
        << "no other rate while pins are open";
    for (int close = 0; close < 3; ++close) UsbAudioDeviceCloseAudioPin(Context());
    EXPECT_EQ(Ctx().openAudioPins, 0) << "an unmatched close does not go below zero";
    const size_t before = bus->RequestCount();
    EXPECT_EQ(UsbAudioDeviceOpenAudioPin(Context(), 48000), STATUS_SUCCESS);
    EXPECT_EQ(RatesSet(*bus, clock, before), c.powerLost ? std::vector<uint32_t>{48000} : std::vector<uint32_t>{});
    EXPECT_EQ(Ctx().sampleRate, 48000u);
    EXPECT_EQ(Ctx().openAudioPins, 1);
    UsbAudioDeviceCloseAudioPin(Context());
    Unplug();
  }
}

// A KS minidriver that refuses every system power query.
NTSTATUS RefuseQueryPower(PKSDEVICE, PIRP, DEVICE_POWER_STATE, DEVICE_POWER_STATE, SYSTEM_POWER_STATE,
                          SYSTEM_POWER_STATE, POWER_ACTION) {
  return STATUS_UNSUCCESSFUL;
}
const KSDEVICE_DISPATCH kRefusingDispatch = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                             nullptr, nullptr, nullptr, nullptr, RefuseQueryPower,
                                             nullptr, nullptr};
const KSDEVICE_DESCRIPTOR kRefusingDescriptor = {&kRefusingDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION};
NTSTATUS RefusingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  return KsInitializeDriver(driver, registryPath, &kRefusingDescriptor);
}

// Another device, enumerated first and so asked after this one, refuses the
// hibernate: the query this device answered changes nothing.
TEST_F(RemovalPowerTest, AHibernateAnotherDeviceRefusesChangesNothing) {
  machine.InstallDriver(u"QavRefusesPower", RefusingEntry, {HardwareId(Model("Ivy"))});
  auto refusing = std::make_shared<AudioDevice>(Build(Model("Ivy")));
  machine.PlugDevice(refusing);
  machine.Pnp().WaitIdle();
  Plug("Larch");
  ASSERT_EQ(UsbAudioDeviceOpenAudioPin(Context(), 48000), STATUS_SUCCESS);
  EXPECT_FALSE(machine.Hibernate());
  EXPECT_EQ(Ctx().sampleRate, 48000u);
  EXPECT_EQ(Ctx().openAudioPins, 1);
  EXPECT_EQ(Ctx().device->DevicePowerState, PowerDeviceD0);
  const size_t before = bus->RequestCount();
  UsbAudioDeviceCloseAudioPin(Context());
  EXPECT_EQ(UsbAudioDeviceOpenAudioPin(Context(), 48000), STATUS_SUCCESS);
  EXPECT_EQ(RatesSet(*bus, Model("Larch").clocks[0].id, before), std::vector<uint32_t>{}) << "the rate stands";
  UsbAudioDeviceCloseAudioPin(Context());
  // Both devices stay plugged until the machine powers off: unloading either
  // driver while the other holds pool would be reported as its leak.
  handle = {};
}

}  // namespace
}  // namespace dstest
