// Surprise removal, the capabilities the driver reports, and system power
// transitions.
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

struct PowerCase {
  const char *what;
  bool hibernate;
  bool cleared;
};

TEST_F(RemovalPowerTest, OnlyTransitionsBeyondSleepForgetTheRateAndOpenPins) {
  for (const PowerCase &c : {PowerCase{"sleep", false, false}, PowerCase{"hibernate", true, true}}) {
    SCOPED_TRACE(c.what);
    Plug("Larch");
    Ctx().openAudioPins = 2;
    EXPECT_TRUE(c.hibernate ? machine.Hibernate() : machine.Suspend());
    EXPECT_EQ(Ctx().sampleRate, c.cleared ? 0u : 48000u);
    EXPECT_EQ(Ctx().openAudioPins, c.cleared ? 0 : 2);
    machine.Resume();
    Ctx().openAudioPins = 0;
    Unplug();
  }
}

}  // namespace
}  // namespace dstest
