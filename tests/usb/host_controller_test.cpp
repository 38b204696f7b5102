#include <gtest/gtest.h>
#include <usb.h>

#include <deque>
#include <functional>
#include <mutex>

#include "winsim/machine.h"
#include "winsim/usb/host_controller.h"

using namespace winsim;
using namespace winsim::usb;

namespace {

constexpr uint32_t kFrameBase = 0x1000;

// Records every transaction it sees; answers as a test tells it to.
class RecordingDevice : public UsbFunction {
 public:
  struct Seen {
    uint8_t endpoint;
    uint64_t microframe;
    uint32_t length;
  };

  BusSpeed Speed() const override { return speed; }
  std::string Label() const override { return "recorder"; }
  TransferOutcome Control(const SetupPacket &setup, uint8_t *data, VTime) override {
    lastSetup = setup;
    if (controlAnswer.handshake == Handshake::Ack && (setup.bmRequestType & kRequestDirectionIn) != 0) {
      for (uint32_t i = 0; i < controlAnswer.length; ++i) data[i] = static_cast<uint8_t>(i + 1);
    }
    return controlAnswer;
  }
  TransferOutcome IsoOut(uint8_t endpoint, uint64_t microframe, const uint8_t *, uint32_t length) override {
    seen.push_back({endpoint, microframe, length});
    return {isoAnswer, length};
  }
  TransferOutcome IsoIn(uint8_t endpoint, uint64_t microframe, uint8_t *, uint32_t capacity) override {
    seen.push_back({endpoint, microframe, capacity});
    return {isoAnswer, inLength < capacity ? inLength : capacity};
  }
  TransferOutcome BulkOrInterruptIn(uint8_t, VTime, uint8_t *buffer, uint32_t capacity) override {
    std::lock_guard<std::mutex> guard(lock);
    if (pendingIn.empty()) return {Handshake::Nak, 0};
    uint8_t value = pendingIn.front();
    pendingIn.pop_front();
    if (capacity > 0) buffer[0] = value;
    return {Handshake::Ack, 1};
  }
  TransferOutcome BulkOrInterruptOut(uint8_t, VTime, const uint8_t *, uint32_t length) override {
    return {Handshake::Ack, length};
  }
  void BusReset(VTime) override {}

  void Deliver(uint8_t value) {
    {
      std::lock_guard<std::mutex> guard(lock);
      pendingIn.push_back(value);
    }
    NotifyDataReady(0x81);
  }

  BusSpeed speed = BusSpeed::High;
  TransferOutcome controlAnswer{Handshake::Ack, 4, 0};
  Handshake isoAnswer = Handshake::Ack;
  uint32_t inLength = 6;
  SetupPacket lastSetup{};
  std::vector<Seen> seen;
  std::mutex lock;
  std::deque<uint8_t> pendingIn;
};

// An isochronous transfer of `frames` 1 ms frames with one packet per
// microframe, and a record of when and how it completed.
struct IsoUrb {
  IsoUrb(uint8_t endpoint, uint32_t frames, uint32_t packetBytes)
      : buffer(frames * 8 * packetBytes), packets(frames * 8) {
    transfer.kind = TransferKind::Isochronous;
    transfer.endpoint = endpoint;
    transfer.buffer = buffer.data();
    transfer.length = static_cast<uint32_t>(buffer.size());
    transfer.maxPacket = packetBytes;
    transfer.packets = packets.data();
    transfer.packetCount = static_cast<uint32_t>(packets.size());
    for (uint32_t i = 0; i < packets.size(); ++i) packets[i] = {i * packetBytes, 0, 0};
    transfer.onComplete = [this](Transfer &t) {
      completedAt = Scheduler::Active()->Now();
      irql = KeGetCurrentIrql();
      status = t.status;
      ++completions;
    };
  }
  std::vector<uint8_t> buffer;
  std::vector<IsoPacket> packets;
  Transfer transfer;
  VTime completedAt = -1;
  KIRQL irql = 0;
  int32_t status = 0;
  int completions = 0;
};

class HostControllerTest : public ::testing::Test {
 protected:
  HostControllerTest() : controller(1, kFrameBase) {
    controller.SetSofOffsetPpm(0);  // frames on the system clock's millisecond
    controller.Start(machine.Threads());
    port = controller.Attach(device);
    controller.SetControlTiming(port, ControlTiming::Instant());  // control timing has tests of its own
  }
  ~HostControllerTest() override { controller.Stop(); }

  Machine machine;
  HostController controller;
  std::shared_ptr<RecordingDevice> device = std::make_shared<RecordingDevice>();
  int port = 0;
};

TEST_F(HostControllerTest, IsoTransferServesOnePacketPerMicroframeAndCompletesAfterItsLastFrame) {
  machine.RunFor(5 * kTicksPerMillisecond);
  IsoUrb urb(0x01, 3, 12);
  urb.transfer.startFrame = controller.CurrentFrame() + 2;  // frame 7 after boot
  ASSERT_EQ(controller.Submit(port, &urb.transfer), USBD_STATUS_PENDING);
  machine.RunUntil([&] { return urb.completions == 1; }, 100 * kTicksPerMillisecond);
  ASSERT_EQ(urb.completions, 1);
  EXPECT_EQ(urb.status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(urb.completedAt, 10 * kTicksPerMillisecond);  // frames 7, 8, 9 have passed
  EXPECT_EQ(urb.irql, DISPATCH_LEVEL);
  ASSERT_EQ(device->seen.size(), 24u);
  for (uint32_t i = 0; i < 24; ++i) EXPECT_EQ(device->seen[i].microframe, (kFrameBase + 7) * 8ull + i);
}

struct StartFrameCase {
  const char *name;
  int32_t offsetFromCurrent;
  int32_t expected;
};

class StartFrames : public HostControllerTest, public ::testing::WithParamInterface<StartFrameCase> {};

// With the refusing policy; late-but-accepted start frames are in
// iso_statuses_test.cpp.
TEST_P(StartFrames, ExplicitStartFrameOutsideTheSchedulingWindowIsRefused) {
  controller.SetLateStart(LateStart::Refuse);
  machine.RunFor(50 * kTicksPerMillisecond);
  IsoUrb urb(0x01, 1, 8);
  urb.transfer.startFrame = controller.CurrentFrame() + GetParam().offsetFromCurrent;
  EXPECT_EQ(controller.Submit(port, &urb.transfer), GetParam().expected);
  machine.RunFor(1100 * kTicksPerMillisecond);
  EXPECT_EQ(urb.completions, GetParam().expected == USBD_STATUS_PENDING ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Window, StartFrames,
    ::testing::Values(StartFrameCase{"Past", -3, USBD_STATUS_BAD_START_FRAME},
                      StartFrameCase{"CurrentFrame", 0, USBD_STATUS_BAD_START_FRAME},
                      StartFrameCase{"NextFrame", 1, USBD_STATUS_PENDING},
                      StartFrameCase{"EdgeOfRange", 1024, USBD_STATUS_PENDING},
                      StartFrameCase{"BeyondRange", 1025, USBD_STATUS_BAD_START_FRAME}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(HostControllerTest, AsapTransfersFollowTheEndpointsPreviousTransferWithoutGaps) {
  IsoUrb first(0x01, 2, 8), second(0x01, 2, 8), third(0x01, 2, 8);
  for (IsoUrb *urb : {&first, &second, &third}) {
    urb->transfer.asap = true;
    ASSERT_EQ(controller.Submit(port, &urb->transfer), USBD_STATUS_PENDING);
  }
  EXPECT_EQ(second.transfer.startFrame, first.transfer.startFrame + 2);
  EXPECT_EQ(third.transfer.startFrame, second.transfer.startFrame + 2);
  machine.RunUntil([&] { return third.completions == 1; }, kTicksPerSecond);
  EXPECT_EQ(third.completedAt - first.completedAt, 4 * kTicksPerMillisecond);
}

TEST_F(HostControllerTest, PacketsOfTwoEndpointsAreServedInBusOrder) {
  IsoUrb out(0x01, 1, 8), in(0x82, 1, 8);
  uint32_t frame = controller.CurrentFrame() + 3;
  out.transfer.startFrame = frame;
  in.transfer.startFrame = frame;
  controller.Submit(port, &in.transfer);
  controller.Submit(port, &out.transfer);
  machine.RunUntil([&] { return in.completions + out.completions == 2; }, kTicksPerSecond);
  ASSERT_EQ(device->seen.size(), 16u);
  for (size_t i = 1; i < device->seen.size(); ++i) {
    EXPECT_LE(device->seen[i - 1].microframe, device->seen[i].microframe);
  }
  EXPECT_EQ(in.packets[0].length, 6u);  // the device's answer, not the room offered
}

TEST_F(HostControllerTest, HighSpeedTransferMustCoverWholeFrames) {
  IsoUrb urb(0x01, 1, 8);
  urb.transfer.packetCount = 7;
  urb.transfer.asap = true;
  EXPECT_EQ(controller.Submit(port, &urb.transfer), USBD_STATUS_INVALID_PARAMETER);
}

TEST_F(HostControllerTest, OutPacketLargerThanTheEndpointAllowsIsRefused) {
  IsoUrb urb(0x01, 1, 8);
  urb.transfer.maxPacket = 7;
  urb.transfer.asap = true;
  EXPECT_EQ(controller.Submit(port, &urb.transfer), USBD_STATUS_INVALID_PARAMETER);
}

TEST_F(HostControllerTest, EveryPacketFailingFailsTheTransfer) {
  device->isoAnswer = Handshake::Error;
  IsoUrb urb(0x82, 1, 8);
  urb.transfer.asap = true;
  controller.Submit(port, &urb.transfer);
  machine.RunUntil([&] { return urb.completions == 1; }, kTicksPerSecond);
  EXPECT_EQ(urb.status, USBD_STATUS_ISOCH_REQUEST_FAILED);
  EXPECT_EQ(urb.transfer.errorCount, 8u);
  EXPECT_EQ(urb.packets[3].status, USBD_STATUS_CRC);
}

TEST_F(HostControllerTest, DetachCompletesEverythingPendingAsDeviceGone) {
  IsoUrb a(0x01, 4, 8), b(0x01, 4, 8);
  a.transfer.asap = b.transfer.asap = true;
  controller.Submit(port, &a.transfer);
  controller.Submit(port, &b.transfer);
  machine.RunFor(2 * kTicksPerMillisecond);
  controller.Detach(port);
  machine.RunUntil([&] { return a.completions + b.completions == 2; }, kTicksPerSecond);
  EXPECT_EQ(a.status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(b.status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(a.completedAt, 2 * kTicksPerMillisecond);
  IsoUrb late(0x01, 1, 8);
  late.transfer.asap = true;
  EXPECT_EQ(controller.Submit(port, &late.transfer), USBD_STATUS_DEVICE_GONE);
}

TEST_F(HostControllerTest, CancelAndAbortReturnTransfersAsCanceledRightAway) {
  IsoUrb a(0x01, 8, 8), b(0x82, 8, 8);
  a.transfer.asap = b.transfer.asap = true;
  controller.Submit(port, &a.transfer);
  controller.Submit(port, &b.transfer);
  EXPECT_TRUE(controller.Cancel(&a.transfer));
  EXPECT_FALSE(controller.Cancel(&a.transfer));
  controller.AbortEndpoint(port, 0x82);
  machine.RunUntil([&] { return a.completions + b.completions == 2; }, kTicksPerSecond);
  EXPECT_EQ(a.status, USBD_STATUS_CANCELED);
  EXPECT_EQ(b.status, USBD_STATUS_CANCELED);
  EXPECT_EQ(machine.Now(), 0);
}

struct ControlCase {
  const char *name;
  TransferOutcome answer;
  int32_t expected;
  uint32_t expectedLength;
};

class ControlTransfers : public HostControllerTest, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(ControlTransfers, DeviceAnswerBecomesTheTransferStatusAfterTheControlDuration) {
  device->controlAnswer = GetParam().answer;
  uint8_t data[8] = {};
  Transfer transfer;
  transfer.kind = TransferKind::Control;
  transfer.setup = {0xA1, 0x01, 0x0100, 0x0A00, 4};
  transfer.buffer = data;
  transfer.length = 4;
  bool done = false;
  transfer.onComplete = [&](Transfer &) { done = true; };
  ASSERT_EQ(controller.Submit(port, &transfer), USBD_STATUS_PENDING);
  machine.RunUntil([&] { return done; }, kTicksPerSecond);
  EXPECT_TRUE(done);
  EXPECT_EQ(transfer.status, GetParam().expected);
  EXPECT_EQ(transfer.actualLength, GetParam().expectedLength);
  EXPECT_EQ(machine.Now(), kMicroframeTicks);
  EXPECT_EQ(device->lastSetup.wIndex, 0x0A00);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ControlTransfers,
    ::testing::Values(ControlCase{"Ack", {Handshake::Ack, 4, 0}, USBD_STATUS_SUCCESS, 4},
                      ControlCase{"ShortAnswer", {Handshake::Ack, 2, 0}, USBD_STATUS_SUCCESS, 2},
                      ControlCase{"Stall", {Handshake::Stall, 0, 0}, USBD_STATUS_STALL_PID, 0},
                      ControlCase{"NoReply", {Handshake::NoReply, 0, 0}, USBD_STATUS_DEV_NOT_RESPONDING, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(HostControllerTest, ControlRequestTheDeviceNeverFinishesStaysPendingUntilCancelled) {
  device->controlAnswer = {Handshake::Nak, 0, 0};
  uint8_t data[4];
  Transfer transfer;
  transfer.kind = TransferKind::Control;
  transfer.setup = {0xA1, 0x01, 0x0100, 0x0A00, 4};
  transfer.buffer = data;
  transfer.length = 4;
  bool done = false;
  transfer.onComplete = [&](Transfer &) { done = true; };
  controller.Submit(port, &transfer);
  EXPECT_FALSE(machine.RunUntil([&] { return done; }, 3 * kTicksPerSecond));
  EXPECT_TRUE(controller.Cancel(&transfer));
  machine.RunUntil([&] { return done; }, kTicksPerSecond);
  EXPECT_EQ(transfer.status, USBD_STATUS_CANCELED);
}

TEST_F(HostControllerTest, InterruptInWaitsForTheDeviceToHaveData) {
  uint8_t data[8];
  Transfer transfer;
  transfer.kind = TransferKind::Interrupt;
  transfer.endpoint = 0x81;
  transfer.buffer = data;
  transfer.length = 8;
  bool done = false;
  transfer.onComplete = [&](Transfer &) { done = true; };
  controller.Submit(port, &transfer);
  machine.RunFor(40 * kTicksPerMillisecond);
  EXPECT_FALSE(done);
  device->Deliver(0x5A);
  machine.RunUntil([&] { return done; }, kTicksPerSecond);
  EXPECT_EQ(transfer.actualLength, 1u);
  EXPECT_EQ(data[0], 0x5A);
  EXPECT_EQ(transfer.status, USBD_STATUS_SUCCESS);
}

TEST_F(HostControllerTest, LatencyProfileDelaysCompletionsButKeepsTheirOrder) {
  controller.SetCompletionLatency([](std::mt19937 &random) { return static_cast<VTime>(random() % 30000); }, 7);
  std::vector<std::unique_ptr<IsoUrb>> urbs;
  for (int i = 0; i < 20; ++i) {
    urbs.push_back(std::make_unique<IsoUrb>(0x01, 1, 8));
    urbs.back()->transfer.asap = true;
    controller.Submit(port, &urbs.back()->transfer);
  }
  machine.RunUntil([&] { return urbs.back()->completions == 1; }, kTicksPerSecond);
  bool anyLate = false;
  for (size_t i = 0; i < urbs.size(); ++i) {
    VTime onTime = static_cast<VTime>(urbs[i]->transfer.startFrame - kFrameBase + 1) * kFrameTicks;
    EXPECT_GE(urbs[i]->completedAt, onTime);
    anyLate |= urbs[i]->completedAt > onTime;
    if (i > 0) {
      EXPECT_GE(urbs[i]->completedAt, urbs[i - 1]->completedAt);
    }
  }
  EXPECT_TRUE(anyLate);
}

}  // namespace

namespace {

TEST_F(HostControllerTest, RefusedIsochronousSubmissionsFailAtOnceAndOnlyAsManyAsAsked) {
  controller.RefuseIsochronous(2);
  IsoUrb a(0x01, 1, 8), b(0x82, 1, 8), c(0x01, 1, 8);
  a.transfer.asap = b.transfer.asap = c.transfer.asap = true;
  EXPECT_EQ(controller.Submit(port, &a.transfer), USBD_STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(controller.Submit(port, &b.transfer), USBD_STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(controller.Submit(port, &c.transfer), USBD_STATUS_PENDING);
  machine.RunUntil([&] { return c.completions == 1; }, kTicksPerSecond);
  EXPECT_EQ(c.status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(a.completions + b.completions, 0);
  // Only one endpoint's: the other's go through.
  controller.RefuseIsochronous(1, 0x82);
  IsoUrb d(0x01, 1, 8), e(0x82, 1, 8);
  d.transfer.asap = e.transfer.asap = true;
  EXPECT_EQ(controller.Submit(port, &d.transfer), USBD_STATUS_PENDING);
  EXPECT_EQ(controller.Submit(port, &e.transfer), USBD_STATUS_INSUFFICIENT_RESOURCES);
  machine.RunUntil([&] { return d.completions == 1; }, kTicksPerSecond);
  EXPECT_EQ(controller.RefusedIsochronous(), 3u);
}

// A held transfer is served on the bus like any other but kept past its
// frames; it comes back when cancelled, aborted, or at the time given.
TEST_F(HostControllerTest, HeldIsochronousTransfersComeBackOnlyWhenCancelledAbortedOrDue) {
  struct Case {
    const char *how;
    VTime until;
    std::function<void(HostController &, int, Transfer &)> release;
    int32_t status;
    VTime completedAt;
  };
  const Case cases[] = {
      {"cancelled", kInfinite, [](HostController &hc, int, Transfer &t) { EXPECT_TRUE(hc.Cancel(&t)); },
       USBD_STATUS_CANCELED, 50 * kTicksPerMillisecond},
      {"aborted", kInfinite, [](HostController &hc, int p, Transfer &) { hc.AbortEndpoint(p, 0x01); },
       USBD_STATUS_CANCELED, 50 * kTicksPerMillisecond},
      {"due", 30 * kTicksPerMillisecond, [](HostController &, int, Transfer &) {}, USBD_STATUS_SUCCESS,
       30 * kTicksPerMillisecond},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.how);
    const VTime origin = machine.Now();
    controller.HoldIsochronous(1, c.until == kInfinite ? kInfinite : origin + c.until, 0x01);
    IsoUrb capture(0x82, 1, 8), held(0x01, 1, 8), next(0x01, 1, 8);
    capture.transfer.asap = held.transfer.asap = next.transfer.asap = true;
    ASSERT_EQ(controller.Submit(port, &capture.transfer), USBD_STATUS_PENDING);  // another endpoint: not held
    ASSERT_EQ(controller.Submit(port, &held.transfer), USBD_STATUS_PENDING);
    ASSERT_EQ(controller.Submit(port, &next.transfer), USBD_STATUS_PENDING);  // the hold was for one
    machine.RunUntil([&] { return held.completions == 1; }, 50 * kTicksPerMillisecond);
    EXPECT_EQ(capture.completions, 1);
    EXPECT_EQ(next.completions, 1);
    if (c.until == kInfinite) {
      EXPECT_EQ(held.completions, 0);
      c.release(controller, port, held.transfer);
      machine.RunUntil([&] { return held.completions == 1; }, kTicksPerSecond);
    }
    ASSERT_EQ(held.completions, 1);
    EXPECT_EQ(held.status, c.status);
    EXPECT_EQ(held.completedAt - origin, c.completedAt);
    EXPECT_EQ(held.packets[7].status, USBD_STATUS_SUCCESS) << "its packets went over the bus";
  }
  EXPECT_EQ(controller.HeldIsochronous(), 3u);
}

TEST_F(HostControllerTest, ADamagedInPacketReportsTheBytesThatArrivedWithItsError) {
  device->isoAnswer = Handshake::Error;
  device->inLength = 5;
  IsoUrb urb(0x82, 1, 8);
  urb.transfer.asap = true;
  controller.Submit(port, &urb.transfer);
  machine.RunUntil([&] { return urb.completions == 1; }, kTicksPerSecond);
  EXPECT_EQ(urb.packets[0].status, USBD_STATUS_CRC);
  EXPECT_EQ(urb.packets[0].length, 5u);
  EXPECT_EQ(urb.transfer.actualLength, 0u) << "no packet arrived intact";
}

}  // namespace
