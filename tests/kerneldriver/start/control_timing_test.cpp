// The driver against control requests that take the time real devices
// take over them: a rate change slower than usual but inside the driver's time
// goes through; one beyond it is cancelled at the driver's timeout, not the
// device's time, and leaves the default pipe free for the next request. The
// driver then reads the clock back: this device took the new rate when the
// request arrived, so the change stands.
#include "driver_harness.h"
#include "kerneldriver/usb/usb_transport.h"

namespace dstest {
namespace {

using winsim::usb::ControlTiming;
using winsim::usb::VTime;

constexpr VTime kMs = 10000;

struct TimingCase {
  const char *name;
  ControlTiming timing;
  NTSTATUS rateChange;
  VTime atLeast;
  VTime atMost;
};

using ControlTimingTest = DriverStartTest;

TEST_F(ControlTimingTest, ARateChangeTakesWhatTheDeviceTakesUpToTheDriversTimeout) {
  const TimingCase cases[] = {
      {"a slow rate change", {kMs, kMs, 400 * kMs, 400 * kMs}, STATUS_SUCCESS, 400 * kMs, 500 * kMs},
      {"a rate change beyond the timeout", {kMs, kMs, 1500 * kMs, 1500 * kMs}, STATUS_SUCCESS,
       kUsbTimeoutMs * kMs, kUsbTimeoutMs * kMs + 20 * kMs},
  };
  for (const TimingCase &c : cases) {
    SCOPED_TRACE(c.name);
    Plug("Larch");
    const ULONG rate = Ctx().sampleRate == 96000 ? 48000 : 96000;  // the device keeps the last case's
    machine.Bus(1)->Controller().SetControlTiming(handle.port, c.timing);
    const VTime before = machine.Now();
    EXPECT_EQ(UsbAudioDeviceChangeSampleRate(&Ctx(), rate), c.rateChange);
    const VTime took = machine.Now() - before;
    EXPECT_GE(took, c.atLeast);
    EXPECT_LE(took, c.atMost);
    EXPECT_EQ(Ctx().sampleRate, rate);
    USB_DEVICE_DESCRIPTOR descriptor{};
    ULONG received = 0;
    const VTime next = machine.Now();
    EXPECT_EQ(UsbGetDescriptor(&Ctx().config, 1, 0, 0, &descriptor, sizeof descriptor, &received), STATUS_SUCCESS);
    EXPECT_LE(machine.Now() - next, 2 * kMs) << "the pipe is free at once";
    EXPECT_EQ(received, sizeof descriptor);
    Unplug();
  }
}

TEST_F(ControlTimingTest, ARequestBeyondTheDriversTimeoutIsCancelledAndReportedAsATimeout) {
  Plug("Larch");
  machine.Bus(1)->Controller().SetControlTiming(handle.port, ControlTiming::Fixed(1200 * kMs));
  USB_DEVICE_DESCRIPTOR descriptor{};
  ULONG received = 0;
  const VTime before = machine.Now();
  EXPECT_EQ(UsbGetDescriptor(&Ctx().config, 1, 0, 0, &descriptor, sizeof descriptor, &received), STATUS_IO_TIMEOUT);
  EXPECT_LE(machine.Now() - before, kUsbTimeoutMs * kMs + 20 * kMs);
  machine.Bus(1)->Controller().SetControlTiming(handle.port, winsim::usb::DefaultControlTiming(winsim::usb::BusSpeed::High));
  EXPECT_EQ(UsbGetDescriptor(&Ctx().config, 1, 0, 0, &descriptor, sizeof descriptor, &received), STATUS_SUCCESS);
  Unplug();
}

}  // namespace
}  // namespace dstest
