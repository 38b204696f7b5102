// What one high-speed bus can carry and how its frame clock runs: the
// periodic bandwidth budget (its bookkeeping, and SELECT_INTERFACE refused
// when a second 192 kHz interface does not fit), the 32-bit frame counter
// wrapping under a stream, and SOF not locked to the system clock.
#include <gtest/gtest.h>
#include <usb.h>

#include "urb_builders.h"
#include "usb_stack_fixture.h"
#include "winsim/usb/host_controller.h"
#include "winsim/usb/periodic_budget.h"
#include "winsim/usb/usb_bus.h"

using namespace usbtest;
using winsim::usb::PeriodicBudget;
using winsim::usb::PeriodicEndpoint;

namespace {

// Larch at 192 kHz: 20 x 4 bytes and 18 x 4 bytes of 25 samples, each in
// two transactions per microframe (plus 2 x 38 bytes of overhead).
const PeriodicEndpoint kRender192{2000, 2, 1, true};   // 2076
const PeriodicEndpoint kCapture192{1800, 2, 1, true};  // 1876
const PeriodicEndpoint kEveryOther{2900, 3, 2, true};  // 3014 every second microframe
const PeriodicEndpoint kStatus{6, 1, 32, false};       // 61, booked once a frame

TEST(PeriodicBudget, BooksEveryMicroframeUpToEightyPercent) {
  struct Step {
    const char *what;
    int port;
    uint8_t interfaceNumber;
    std::vector<PeriodicEndpoint> endpoints;
    bool fits;
    uint32_t peak;
  };
  const std::vector<Step> steps = {
      {"a 192 kHz render setting", 1, 1, {kRender192}, true, 2076},
      {"its capture setting", 1, 2, {kCapture192}, true, 3952},
      {"a second interface's 192 kHz render setting does not fit", 2, 1, {kRender192}, false, 3952},
      {"a setting replaces its interface's booking", 1, 1, {kCapture192}, true, 3752},
      {"setting 0 gives it back", 1, 1, {}, true, 1876},
      {"then the second interface fits", 2, 1, {kRender192}, true, 3952},
      {"an interrupt endpoint takes one microframe of the frame", 3, 0, {kStatus}, true, 4013},
      {"an endpoint served every other microframe does not fit on top", 4, 1, {kEveryOther}, false, 4013},
  };
  PeriodicBudget budget;
  for (const Step &step : steps) {
    EXPECT_EQ(budget.Reserve(step.port, step.interfaceNumber, step.endpoints), step.fits) << step.what;
    EXPECT_EQ(budget.PeakLoad(), step.peak) << step.what;
  }
  budget.ReleasePort(1);
  budget.ReleasePort(2);
  EXPECT_EQ(budget.PeakLoad(), 61u);
  // Served every other microframe, two fit side by side where one every microframe would not.
  EXPECT_TRUE(budget.Reserve(4, 1, {kEveryOther, kEveryOther}));
  EXPECT_EQ(budget.PeakLoad(), 3014u + 61u);
  EXPECT_FALSE(budget.Reserve(5, 1, {kEveryOther}));
  EXPECT_TRUE(budget.Reserve(5, 1, {kRender192}));
  EXPECT_EQ(budget.PeakLoad(), 3014u + 61u + 2076u);
}

TEST(PeriodicBudget, APortIsBookedAllOrNothingAndCanBePutBack) {
  PeriodicBudget budget;
  ASSERT_TRUE(budget.ReservePort(1, {{1, {kRender192}}, {2, {kCapture192}}}));
  EXPECT_FALSE(budget.ReservePort(2, {{1, {kRender192}}, {2, {kCapture192}}}));
  EXPECT_TRUE(budget.Bookings(2).empty()) << "nothing of a refused configuration stays booked";
  const PeriodicBudget::PortBookings first = budget.Bookings(1);
  ASSERT_TRUE(budget.Reserve(1, 1, {}));
  budget.RestorePort(1, first);
  EXPECT_EQ(budget.PeakLoad(), 3952u);
  budget.SetLimit(0);
  EXPECT_TRUE(budget.ReservePort(2, {{1, {kRender192}}, {2, {kCapture192}}})) << "no limit";
  EXPECT_EQ(budget.PeakLoad(), 2u * 3952u);
}

// The fixture's Larch on bus 1 streams at 192 kHz; a second Larch on the
// same bus asks for its render setting: the stack refuses it before the
// device hears of it, and the old setting stays. Once the first gives its
// bandwidth back (setting 0, or unplugged), the request succeeds.
class BusBandwidthTest : public UsbStackTest {
 protected:
  // SELECT_CONFIGURATION and SELECT_INTERFACE on another device's stack.
  struct Other {
    std::shared_ptr<FakeDevice> device;
    FunctionStack *stack = nullptr;
    USBD_CONFIGURATION_HANDLE configuration = nullptr;
    winsim::usb::UsbDeviceHandle handle;
  };

  Other PlugOther(uint32_t bus) {
    Other other;
    other.device = std::make_shared<FakeDevice>(BuildModel("Larch"));
    extraStacks.push_back(PlugWithStack(other.device, bus, &other.handle));
    extraDevices.push_back(other.handle);
    other.stack = extraStacks.back().get();
    std::vector<uint8_t> bytes = other.device->Definition().descriptors.configuration;
    auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (LONG number = 0; number < config->bNumInterfaces; ++number) {
      list.push_back({USBD_ParseConfigurationDescriptorEx(config, config, number, 0, -1, -1, -1), nullptr});
    }
    list.push_back({nullptr, nullptr});
    PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
    EXPECT_EQ(other.stack->SubmitUrb(urb), STATUS_SUCCESS);
    other.configuration = urb->UrbSelectConfiguration.ConfigurationHandle;
    ExFreePool(urb);
    return other;
  }

  NTSTATUS Select(Other &other, UCHAR number, UCHAR alternate, USBD_STATUS *urbStatus) {
    UrbBuffer urb = SelectInterfaceUrb(other.configuration, number, alternate, alternate == 0 ? 0 : 1);
    NTSTATUS status = other.stack->SubmitUrb(urb.get());
    *urbStatus = urb->UrbHeader.Status;
    return status;
  }
};

TEST_F(BusBandwidthTest, ASecond192kHzInterfaceOnTheBusIsRefusedAtSelectInterface) {
  ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
  ASSERT_EQ(SelectInterface(1, 1), STATUS_SUCCESS);
  ASSERT_EQ(SelectInterface(2, 1), STATUS_SUCCESS);
  Other second = PlugOther(1);
  Other elsewhere = PlugOther(2);
  USBD_STATUS urbStatus = 0;
  EXPECT_EQ(Select(second, 1, 1, &urbStatus), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(urbStatus, USBD_STATUS_NO_BANDWIDTH);
  EXPECT_NE(second.device->AlternateSetting(1), std::optional<uint8_t>(1)) << "the device never heard of it";
  EXPECT_EQ(Select(elsewhere, 1, 1, &urbStatus), STATUS_SUCCESS) << "another bus has its own budget";
  ASSERT_EQ(SelectInterface(2, 0), STATUS_SUCCESS);
  EXPECT_EQ(Select(second, 1, 1, &urbStatus), STATUS_SUCCESS);
  EXPECT_EQ(second.device->AlternateSetting(1), std::optional<uint8_t>(1));
  EXPECT_EQ(Select(second, 2, 1, &urbStatus), STATUS_INSUFFICIENT_RESOURCES) << "the first still streams render";
  stack.reset();
  machine.UnplugDevice(handle, false);
  handle = {};
  EXPECT_EQ(Select(second, 2, 1, &urbStatus), STATUS_SUCCESS) << "an unplugged device's bandwidth is free";
}

TEST_F(BusBandwidthTest, WithoutALimitTheBusTakesEverySetting) {
  machine.Bus(1)->Controller().SetPeriodicBudget(0);
  ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
  ASSERT_EQ(SelectInterface(1, 1), STATUS_SUCCESS);
  ASSERT_EQ(SelectInterface(2, 1), STATUS_SUCCESS);
  Other second = PlugOther(1);
  USBD_STATUS urbStatus = 0;
  EXPECT_EQ(Select(second, 1, 1, &urbStatus), STATUS_SUCCESS);
  EXPECT_EQ(Select(second, 2, 1, &urbStatus), STATUS_SUCCESS);
  EXPECT_GT(machine.Bus(1)->Controller().PeriodicPeak(), winsim::usb::kPeriodicBudgetBytes);
}

// Records the microframes its isochronous OUT packets arrive in.
class MicroframeRecorder final : public winsim::usb::UsbFunction {
 public:
  winsim::usb::BusSpeed Speed() const override { return winsim::usb::BusSpeed::High; }
  std::string Label() const override { return "recorder"; }
  winsim::usb::TransferOutcome Control(const winsim::usb::SetupPacket &, uint8_t *, VTime) override {
    return {winsim::usb::Handshake::Ack, 0};
  }
  winsim::usb::TransferOutcome IsoOut(uint8_t, uint64_t microframe, const uint8_t *, uint32_t length) override {
    microframes.push_back(microframe);
    return {winsim::usb::Handshake::Ack, length};
  }
  winsim::usb::TransferOutcome IsoIn(uint8_t, uint64_t, uint8_t *, uint32_t) override {
    return {winsim::usb::Handshake::Ack, 0};
  }
  winsim::usb::TransferOutcome BulkOrInterruptIn(uint8_t, VTime, uint8_t *, uint32_t) override {
    return {winsim::usb::Handshake::Nak, 0};
  }
  winsim::usb::TransferOutcome BulkOrInterruptOut(uint8_t, VTime, const uint8_t *, uint32_t length) override {
    return {winsim::usb::Handshake::Ack, length};
  }
  void BusReset(VTime) override {}

  std::vector<uint64_t> microframes;
};

// An OUT transfer of `frames` frames, a packet a microframe.
struct OutTransfer {
  explicit OutTransfer(uint32_t frames) : buffer(frames * 8 * 16), packets(frames * 8) {
    transfer.kind = winsim::usb::TransferKind::Isochronous;
    transfer.endpoint = 0x01;
    transfer.buffer = buffer.data();
    transfer.length = static_cast<uint32_t>(buffer.size());
    transfer.maxPacket = 16;
    transfer.packets = packets.data();
    transfer.packetCount = static_cast<uint32_t>(packets.size());
    for (uint32_t i = 0; i < packets.size(); ++i) packets[i] = {i * 16, 0, 0};
    transfer.onComplete = [this](winsim::usb::Transfer &t) {
      completedAt = winsim::Scheduler::Active()->Now();
      status = t.status;
    };
  }
  std::vector<uint8_t> buffer;
  std::vector<winsim::usb::IsoPacket> packets;
  winsim::usb::Transfer transfer;
  VTime completedAt = -1;
  int32_t status = 1;
};

class FrameClockTest : public ::testing::Test {
 protected:
  explicit FrameClockTest(uint32_t frameBase = 0xFFFFFFFFu - 20) : controller(1, frameBase) {
    controller.SetSofOffsetPpm(0);
    controller.Start(machine.Threads());
    port = controller.Attach(device);
  }
  ~FrameClockTest() override { controller.Stop(); }

  winsim::Machine machine;
  winsim::usb::HostController controller;
  std::shared_ptr<MicroframeRecorder> device = std::make_shared<MicroframeRecorder>();
  int port = 0;
};

// Transfers following each other across the wrap of the 32-bit frame
// counter: every packet in the microframe after the one before, each
// transfer back 8 ms after the one before.
TEST_F(FrameClockTest, TransfersCrossTheFrameCounterWrapWithoutAGapOrARepeat) {
  std::vector<std::unique_ptr<OutTransfer>> transfers;
  for (int i = 0; i < 6; ++i) {
    transfers.push_back(std::make_unique<OutTransfer>(8));
    transfers.back()->transfer.asap = true;
    ASSERT_EQ(controller.Submit(port, &transfers.back()->transfer), USBD_STATUS_PENDING);
  }
  // One more with an explicit start frame, computed the wrap-safe way.
  OutTransfer last(8);
  last.transfer.startFrame = transfers.back()->transfer.startFrame + 8;
  ASSERT_EQ(controller.Submit(port, &last.transfer), USBD_STATUS_PENDING);
  machine.RunUntil([&] { return last.completedAt >= 0; }, 200 * winsim::kTicksPerMillisecond);
  ASSERT_EQ(device->microframes.size(), 7u * 64u);
  for (size_t i = 1; i < device->microframes.size(); ++i) {
    ASSERT_EQ(device->microframes[i], device->microframes[i - 1] + 1) << "packet " << i;
  }
  EXPECT_GT(transfers.front()->transfer.startFrame, 0xFFFFFF00u);
  EXPECT_LT(last.transfer.startFrame, 0x100u) << "the schedule ran past the wrap";
  for (size_t i = 1; i < transfers.size(); ++i) {
    EXPECT_EQ(transfers[i]->completedAt - transfers[i - 1]->completedAt, 8 * winsim::kTicksPerMillisecond);
    EXPECT_EQ(transfers[i]->status, USBD_STATUS_SUCCESS);
  }
  EXPECT_EQ(last.completedAt - transfers.back()->completedAt, 8 * winsim::kTicksPerMillisecond);
}

// A caller whose frame arithmetic is not wrap-safe: after the wrap it
// still takes the larger of its last frame and the current one as plain
// numbers, and names a frame long past. The stack takes it and sends none
// of it: every packet is late.
TEST_F(FrameClockTest, AStartFrameFromArithmeticThatIgnoresTheWrapFailsWithBadStartFrame) {
  const uint32_t before = controller.CurrentFrame();
  machine.RunFor(40 * winsim::kTicksPerMillisecond);
  const uint32_t now = controller.CurrentFrame();
  ASSERT_LT(now, before) << "the counter wrapped";
  OutTransfer naive(8);
  naive.transfer.startFrame = std::max(before, now) + 4;
  EXPECT_EQ(controller.Submit(port, &naive.transfer), USBD_STATUS_PENDING);
  OutTransfer wrapSafe(8);
  wrapSafe.transfer.startFrame = now + 4;
  EXPECT_EQ(controller.Submit(port, &wrapSafe.transfer), USBD_STATUS_PENDING);
  machine.RunUntil([&] { return wrapSafe.completedAt >= 0 && naive.completedAt >= 0; },
                   100 * winsim::kTicksPerMillisecond);
  EXPECT_EQ(wrapSafe.status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(naive.status, USBD_STATUS_BAD_START_FRAME);
  EXPECT_EQ(naive.packets[0].status, USBD_STATUS_ISO_NOT_ACCESSED_LATE);
}

TEST_F(FrameClockTest, TheFrameCounterIsNotMovedUnderScheduledTransfers) {
  OutTransfer pending(8);
  pending.transfer.asap = true;
  ASSERT_EQ(controller.Submit(port, &pending.transfer), USBD_STATUS_PENDING);
  EXPECT_FALSE(controller.SetCurrentFrame(0x1234));
  machine.RunUntil([&] { return pending.completedAt >= 0; }, 100 * winsim::kTicksPerMillisecond);
  EXPECT_TRUE(controller.SetCurrentFrame(0x1234));
  EXPECT_EQ(controller.CurrentFrame(), 0x1234u);
}

// SOF off the system clock: ten seconds of system time are that many ppm
// more or fewer bus frames; the offset is clamped to ±1000 ppm.
TEST_F(FrameClockTest, TheBusFrameClockRunsItsSofOffsetAgainstTheSystemClock) {
  struct Case {
    int32_t ppm;
    uint32_t framesPerTenSeconds;
  };
  for (const Case &c : {Case{0, 10000}, Case{100, 10001}, Case{-100, 9999}, Case{1000, 10010}, Case{5000, 10010}}) {
    controller.SetSofOffsetPpm(c.ppm);
    const uint64_t first = controller.CurrentMicroframe();
    machine.RunFor(10 * winsim::kTicksPerSecond);
    const uint64_t frames = (controller.CurrentMicroframe() - first) / 8;
    EXPECT_NEAR(static_cast<double>(frames), c.framesPerTenSeconds, 1.0) << c.ppm << " ppm (clamped to 1000)";
  }
}

}  // namespace
