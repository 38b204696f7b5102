// Devices the driver does not start as an audio interface, and how it
// refuses or limits them: firmware-update mode, full speed, no AudioControl,
// a foreign vendor, requests that never finish, and malformed descriptors.
#include <set>

#include "driver_harness.h"
#include "kerneldriver/usb/usb_transport.h"
#include "winsim/devices/descriptor_corruption.h"
#include "winsim/kernel/pool.h"

namespace dstest {
namespace {

using StartFailureTest = DriverStartTest;
using winsim::devices::Corruption;

TEST_F(StartFailureTest, FirmwareUpdateModeGetsAFilterFactoryButNoStreams) {
  Plug(Build(winsim::devices::FirmwareUpdateVariant(Model("Larch"))));
  EXPECT_EQ(Node().postStartStatus, STATUS_SUCCESS);
  UsbAudioDevice &context = Ctx();
  EXPECT_NE(context.filterFactory, nullptr);
  EXPECT_EQ(context.audioControl, nullptr);
  EXPECT_EQ(context.captureStream, nullptr);
  EXPECT_EQ(context.renderStream, nullptr);
  EXPECT_EQ(context.filterDescriptor->filter.PinDescriptorsCount, 0u);
  EXPECT_EQ(machine.Pnp().Interfaces(&KSCATEGORY_UacPrivate, true).size(), 1u);
}

TEST_F(StartFailureTest, AFullSpeedDeviceStartsWithClocksButNoStreams) {
  Plug(Build(winsim::devices::FullSpeedVariant(Model("Alder"))));
  EXPECT_EQ(Node().postStartStatus, STATUS_SUCCESS);
  EXPECT_NE(Ctx().audioControl, nullptr);
  EXPECT_EQ(Ctx().captureStream, nullptr);
  EXPECT_EQ(Ctx().renderStream, nullptr);
}

TEST_F(StartFailureTest, ADeviceWithoutAudioControlFailsWithDeviceNotReady) {
  DeviceDefinition definition = Build(Model("Maple"));
  auto &bytes = definition.descriptors.configuration;
  // The AudioControl interface becomes vendor-specific.
  for (size_t at = 0; at + 9 <= bytes.size(); at += bytes[at]) {
    if (bytes[at + 1] == 0x04 && bytes[at + 5] == 0x01 && bytes[at + 6] == 0x01) bytes[at + 5] = 0xFF;
    if (bytes[at] == 0) break;
  }
  Plug(definition);
  EXPECT_EQ(Node().postStartStatus, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(Node().problem, winsim::kProblemFailedPostStart);
}

TEST_F(StartFailureTest, InterfaceNumbersNeedNotBeContiguous) {
  DeviceDefinition definition = Build(Model("Maple"));
  auto &bytes = definition.descriptors.configuration;
  // The streaming interface (every setting of it) becomes interface 5.
  for (size_t at = 0; at + 9 <= bytes.size() && bytes[at] != 0; at += bytes[at]) {
    if (bytes[at + 1] == 0x04 && bytes[at + 2] == 1) bytes[at + 2] = 5;
  }
  Plug(definition);
  EXPECT_EQ(Node().postStartStatus, STATUS_SUCCESS);
  ASSERT_NE(Ctx().renderStream, nullptr);
  EXPECT_EQ(Ctx().renderStream->usbInterface->interfaceNumber, 5);
  EXPECT_EQ(UsbAudioDeviceChangeSampleRate(Context(), 96000), STATUS_SUCCESS);
  bool selectedFive = false;
  for (const auto &r : bus->Requests()) selectedFive |= IsSetInterface(r.setup) && r.setup.wIndex == 5;
  EXPECT_TRUE(selectedFive);
}

TEST_F(StartFailureTest, AForeignVendorIsRefusedWithNotSupported) {
  Plug("Ivy");
  EXPECT_EQ(Node().postStartStatus, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(Node().problem, winsim::kProblemFailedPostStart);
}

TEST_F(StartFailureTest, AClockRequestThatNeverFinishesTimesOutAfterOneSecondAndFailsTheStart) {
  const uint8_t clock = Model("Larch").clocks[0].id;
  winsim::VTime started = machine.Now();
  Plug("Larch", [&](FaultKnobs &knobs) { knobs.neverFinishWhen = winsim::devices::MatchEntityControl(clock, 0x01); });
  EXPECT_EQ(Node().postStartStatus, STATUS_IO_TIMEOUT);
  const auto hung = device->Faults().neverFinished;
  EXPECT_GE(hung, 2u);
  // Each hung request costs its one-second time-out, no more.
  EXPECT_GE(machine.Now() - started, static_cast<winsim::VTime>(hung) * winsim::kTicksPerSecond);
  EXPECT_LT(machine.Now() - started, static_cast<winsim::VTime>(hung + 1) * winsim::kTicksPerSecond);
}

struct SelectCase {
  uint32_t refusals;
  NTSTATUS status;
};

TEST_F(StartFailureTest, SelectInterfaceIsTriedThreeTimes) {
  for (const SelectCase &c : {SelectCase{2, STATUS_SUCCESS}, SelectCase{3, STATUS_INTERNAL_ERROR}}) {
    SCOPED_TRACE(c.refusals);
    Plug("Larch");
    size_t before = bus->RequestCount();
    device->EditFaults([&](FaultKnobs &knobs) { knobs.refuseSetInterfaceNext = c.refusals; });
    EXPECT_EQ(UsbAudioDeviceChangeSampleRate(Context(), 96000), c.status);
    EXPECT_EQ(device->Faults().setInterfaceRefusals, c.refusals);
    std::vector<SetupPacket> setInterface;
    auto requests = bus->Requests();
    for (size_t i = before; i < requests.size(); ++i) {
      if (IsSetInterface(requests[i].setup)) setInterface.push_back(requests[i].setup);
    }
    ASSERT_GE(setInterface.size(), 3u);
    for (size_t i = 1; i < 3; ++i) {
      EXPECT_EQ(setInterface[i].wValue, setInterface[0].wValue);
      EXPECT_EQ(setInterface[i].wIndex, setInterface[0].wIndex);
    }
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(setInterface.size(), 6u);  // capture: 3 tries + back to 0; render: select + back to 0
      EXPECT_EQ(device->AlternateSetting(static_cast<uint8_t>(setInterface[0].wIndex)), 0);
    }
    Unplug();
  }
}

// Every served catalog model with each corruption of its configuration
// descriptor: the driver either starts it or fails the start with a clear
// status, never reads outside what it received (ASan) and leaks nothing (the
// driver unloads after each device with the pool checked).
TEST_F(StartFailureTest, MalformedDescriptorsStartOrAreRefusedCleanly) {
  const std::set<NTSTATUS> refusals = {STATUS_DEVICE_CONFIGURATION_ERROR, STATUS_INTERNAL_ERROR,
                                       STATUS_DEVICE_NOT_READY, STATUS_NOT_SUPPORTED};
  for (const DeviceModel &model : winsim::devices::Catalog()) {
    if (model.vendorId == winsim::devices::kForeignVendorId) continue;
    for (Corruption kind : winsim::devices::kAllCorruptions) {
      SCOPED_TRACE(model.name + " / " + winsim::devices::CorruptionName(kind));
      Plug(Build(model), [&](FaultKnobs &knobs) { knobs.corruptConfiguration = kind; });
      installed = false;
      NTSTATUS status = Node().postStartStatus;
      if (kind == Corruption::ZeroLength || kind == Corruption::TruncatedTotalLength) {
        EXPECT_EQ(status, STATUS_DEVICE_CONFIGURATION_ERROR);
      } else if (kind == Corruption::TooManyInterfaces) {
        EXPECT_EQ(status, STATUS_INTERNAL_ERROR);
      } else if (kind == Corruption::TooManyClocks) {
        // The added clocks come first: clock 0 is one the device does not
        // have, so reading its rate stalls and the start ends there.
        EXPECT_EQ(status, static_cast<NTSTATUS>(USBD_STATUS_STALL_PID));
      } else {
        EXPECT_TRUE(status == STATUS_SUCCESS || refusals.count(status)) << std::hex << status;
      }
      // A refused start takes the stack down: problem 43, no driver context.
      EXPECT_EQ(Node().problem, NT_SUCCESS(status) ? winsim::kProblemNone : winsim::kProblemFailedPostStart);
      EXPECT_EQ(Context() == nullptr, !NT_SUCCESS(status));
      Unplug();
    }
  }
  EXPECT_EQ(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr);
}

TEST_F(StartFailureTest, NothingTheDriverAllocatedOutlivesTheDevice) {
  Plug("Larch");
  Unplug();
  EXPECT_EQ(machine.Pnp().LoadedDriver(u"QavAudio"), nullptr);
  for (const auto &usage : winsim::Pool::Instance().Outstanding()) {
    std::string tag = winsim::Pool::TagText(usage.tag);
    for (const char *driverTag : {"KCNw", "Wbrk", "FnDe", "Unic", "Rplx"}) {
      EXPECT_NE(tag, driverTag) << usage.blocks << " blocks from " << usage.firstSite;
    }
  }
}

}  // namespace
}  // namespace dstest

namespace dstest {
namespace {

// A request the bus finishes in the very instant the driver gives up on it:
// whichever side the scheduler runs first, the driver must neither touch a
// request the I/O manager already freed nor report a finished one as
// finished twice. Each outcome is one of the two a caller can handle.
TEST_F(StartFailureTest, ARequestFinishingAtTheInstantOfItsTimeOutIsHandledEitherWay) {
  Plug("Larch");
  machine.Bus(1)->Controller().SetControlDuration(winsim::kTicksPerSecond * kUsbTimeoutMs / 1000);
  int succeeded = 0, timedOut = 0;
  for (int i = 0; i < 40; ++i) {
    USB_DEVICE_DESCRIPTOR descriptor{};
    ULONG received = 0;
    NTSTATUS status = UsbGetDescriptor(&Ctx().config, 1, 0, 0, &descriptor, sizeof descriptor, &received);
    ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_IO_TIMEOUT) << std::hex << status;
    (status == STATUS_SUCCESS ? succeeded : timedOut)++;
  }
  machine.Bus(1)->Controller().SetControlDuration(winsim::usb::kMicroframeTicks);
  RecordProperty("succeeded", succeeded);
  RecordProperty("timedOut", timedOut);
}

// Two streaming interfaces of one direction: the later one serves it, and the
// filter still has one pin pair for the direction, with the later channels.
TEST_F(StartFailureTest, ASecondStreamOfADirectionReplacesTheFirstWithoutASecondPinPair) {
  DeviceModel model = Model("Maple");
  ASSERT_FALSE(model.streams.empty());
  winsim::devices::StreamingInterface second = model.streams.front();
  ASSERT_EQ(second.direction, winsim::devices::StreamDirection::Render);
  second.endpoint = 0x02;
  second.feedback = model.streams.front().feedback;
  if (second.feedbackEndpoint != 0) second.feedbackEndpoint = 0x82;
  second.channels = 4;
  second.channelConfig = 0;
  second.channelNames.clear();
  model.streams.push_back(second);
  Plug(Build(model));
  ASSERT_EQ(Node().postStartStatus, STATUS_SUCCESS);
  ASSERT_NE(Ctx().renderStream, nullptr);
  EXPECT_EQ(Ctx().renderStream->usbInterface->interfaceNumber, 2);
  const KSFILTER_DESCRIPTOR &filter = Ctx().filterDescriptor->filter;
  ASSERT_EQ(filter.PinDescriptorsCount, 2u) << "one render pin and its bridge";
  const KSPIN_DESCRIPTOR &pin = filter.PinDescriptors[0].PinDescriptor;
  ASSERT_GE(pin.DataRangesCount, 1u);
  EXPECT_EQ(reinterpret_cast<const KSDATARANGE_AUDIO *>(pin.DataRanges[0])->MaximumChannels, 4u);
}

}  // namespace
}  // namespace dstest
