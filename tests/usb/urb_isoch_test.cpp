// Isochronous URBs through the stack: served in their frames, completed after
// the last one, per-packet lengths from the device, late start frames, ASAP
// chains and malformed requests.
#include "usb_stack_fixture.h"
#include "winsim/usb/usb_bus.h"
#include "winsim/usb/usb_host.h"

using namespace usbtest;
using winsim::kTicksPerMillisecond;

namespace {

constexpr uint32_t kPacketBytes = 48;  // 6 stereo frames of 4-byte samples per microframe

class IsochTest : public UsbStackTest {
 protected:
  void SetUp() override {
    UsbStackTest::SetUp();
    ASSERT_EQ(SelectConfiguration(), STATUS_SUCCESS);
    ASSERT_EQ(SelectInterface(1, 1), STATUS_SUCCESS);
    ASSERT_EQ(SelectInterface(2, 1), STATUS_SUCCESS);
  }

  ULONG CurrentFrame() { return machine.Bus(1)->Controller().CurrentFrame(); }
  VTime EndOfFrame(ULONG frame) {
    return static_cast<VTime>(frame - winsim::usb::BusFrameBase(1) + 1) * kTicksPerMillisecond;
  }
};

TEST_F(IsochTest, OutUrbIsServedInItsFramesAndCompletesWhenTheLastHasPassed) {
  machine.RunFor(4 * kTicksPerMillisecond);
  std::vector<uint8_t> audio(2 * 8 * kPacketBytes);
  ULONG start = CurrentFrame() + 3;
  UrbBuffer urb = IsochUrb(Pipe(0x01), false, audio.data(), 2, kPacketBytes, start);
  AsyncUrb request(stack->Top(), urb.get());
  ASSERT_EQ(request.Send(), STATUS_PENDING);
  ASSERT_TRUE(RunUntilDone(request));
  EXPECT_EQ(request.Status(), STATUS_SUCCESS);
  EXPECT_EQ(request.Irql(), DISPATCH_LEVEL);
  EXPECT_EQ(request.CompletedAt(), EndOfFrame(start + 1));
  auto &r = urb->UrbIsochronousTransfer;
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(r.ErrorCount, 0u);
  EXPECT_EQ(r.StartFrame, start);
  PUSBD_ISO_PACKET_DESCRIPTOR packets = r.IsoPacket;
  for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(packets[i].Status, USBD_STATUS_SUCCESS) << i;
  std::vector<FakeDevice::IsoPacketSeen> seen = device->IsoPackets();
  ASSERT_EQ(seen.size(), 16u);
  for (uint32_t i = 0; i < 16; ++i) {
    EXPECT_EQ(seen[i].microframe, uint64_t{start} * 8 + i);
    EXPECT_EQ(seen[i].length, kPacketBytes);
  }
}

TEST_F(IsochTest, InPacketLengthsAreWhatTheDeviceSent) {
  // A device clock a little fast: every fourth microframe carries a seventh frame.
  device->SetIsoInLength([](uint8_t, uint64_t microframe, uint32_t) { return microframe % 4 == 3 ? 56u : 48u; });
  std::vector<uint8_t> capture(8 * 1800);
  UrbBuffer urb = IsochUrb(Pipe(0x81), true, capture.data(), 1, 1800, CurrentFrame() + 2);
  AsyncUrb request(stack->Top(), urb.get());
  ASSERT_EQ(request.Send(), STATUS_PENDING);
  ASSERT_TRUE(RunUntilDone(request));
  ASSERT_EQ(request.Status(), STATUS_SUCCESS);
  auto &r = urb->UrbIsochronousTransfer;
  PUSBD_ISO_PACKET_DESCRIPTOR packets = r.IsoPacket;
  uint32_t total = 0;
  for (uint32_t i = 0; i < 8; ++i) {
    uint64_t microframe = uint64_t{r.StartFrame} * 8 + i;
    EXPECT_EQ(packets[i].Length, microframe % 4 == 3 ? 56u : 48u) << i;
    EXPECT_EQ(capture[packets[i].Offset], static_cast<uint8_t>(microframe));  // the device's bytes, in place
    total += packets[i].Length;
  }
  EXPECT_EQ(r.TransferBufferLength, total);
}

struct LateCase {
  const char *name;
  int32_t offset;  // from the current frame
};

class LateStartFrames : public IsochTest, public ::testing::WithParamInterface<LateCase> {};

// A controller that refuses late start frames (the knob's older setting).
TEST_P(LateStartFrames, FailAtSubmissionWithBadStartFrameAndNothingOnTheBus) {
  machine.Bus(1)->Controller().SetLateStart(winsim::usb::LateStart::Refuse);
  machine.RunFor(20 * kTicksPerMillisecond);
  std::vector<uint8_t> audio(8 * kPacketBytes);
  UrbBuffer urb = IsochUrb(Pipe(0x01), false, audio.data(), 1, kPacketBytes, CurrentFrame() + GetParam().offset);
  AsyncUrb request(stack->Top(), urb.get());
  EXPECT_EQ(request.Send(), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(request.Done());
  EXPECT_EQ(request.Status(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_BAD_START_FRAME);
  machine.RunFor(30 * kTicksPerMillisecond);
  EXPECT_TRUE(device->IsoPackets().empty());
}

INSTANTIATE_TEST_SUITE_P(Window, LateStartFrames,
                         ::testing::Values(LateCase{"Passed", -5}, LateCase{"BeingServedNow", 0},
                                           LateCase{"BeyondTheSchedulingRange", 1025}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(IsochTest, AsapUrbsFollowTheEndpointsPreviousUrbWithoutGaps) {
  std::vector<uint8_t> audio(8 * kPacketBytes);
  std::vector<UrbBuffer> urbs;
  std::vector<std::unique_ptr<AsyncUrb>> requests;
  for (int i = 0; i < 3; ++i) {
    urbs.push_back(IsochUrb(Pipe(0x01), false, audio.data(), 1, kPacketBytes, std::nullopt));
    requests.push_back(std::make_unique<AsyncUrb>(stack->Top(), urbs.back().get()));
    ASSERT_EQ(requests.back()->Send(), STATUS_PENDING);
  }
  ASSERT_TRUE(RunUntilDone(*requests.back()));
  for (int i = 1; i < 3; ++i) {
    EXPECT_EQ(urbs[i]->UrbIsochronousTransfer.StartFrame, urbs[i - 1]->UrbIsochronousTransfer.StartFrame + 1);
    EXPECT_EQ(requests[i]->CompletedAt() - requests[i - 1]->CompletedAt(), kTicksPerMillisecond);
  }
}

TEST_F(IsochTest, PacketCountThatDoesNotCoverWholeFramesIsRefused) {
  std::vector<uint8_t> audio(8 * kPacketBytes);
  UrbBuffer urb = IsochUrb(Pipe(0x01), false, audio.data(), 1, kPacketBytes, std::nullopt);
  urb->UrbIsochronousTransfer.NumberOfPackets = 7;
  EXPECT_EQ(stack->SubmitUrb(urb.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
}

TEST_F(IsochTest, UrbShorterThanItsPacketArrayIsRefused) {
  std::vector<uint8_t> audio(16 * kPacketBytes);
  UrbBuffer urb = IsochUrb(Pipe(0x01), false, audio.data(), 2, kPacketBytes, std::nullopt);
  urb->UrbHeader.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(16) - 2 * sizeof(USBD_ISO_PACKET_DESCRIPTOR));
  EXPECT_EQ(stack->SubmitUrb(urb.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
}

TEST_F(IsochTest, IsochUrbOnABulkPipeIsRefused) {
  std::vector<uint8_t> data(8 * 64);
  UrbBuffer urb = IsochUrb(Pipe(0x82), true, data.data(), 1, 64, std::nullopt);
  EXPECT_EQ(stack->SubmitUrb(urb.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
}

TEST_F(IsochTest, CancelledUrbReportsUnservedPacketsAsCancelled) {
  std::vector<uint8_t> audio(4 * 8 * kPacketBytes);
  UrbBuffer urb = IsochUrb(Pipe(0x01), false, audio.data(), 4, kPacketBytes, CurrentFrame() + 2);
  AsyncUrb request(stack->Top(), urb.get());
  ASSERT_EQ(request.Send(), STATUS_PENDING);
  machine.RunFor(3 * kTicksPerMillisecond + 1);  // inside the URB's second frame
  EXPECT_TRUE(IoCancelIrp(request.Irp()));
  ASSERT_TRUE(RunUntilDone(request));
  EXPECT_EQ(request.Status(), STATUS_CANCELLED);
  auto &r = urb->UrbIsochronousTransfer;
  PUSBD_ISO_PACKET_DESCRIPTOR packets = r.IsoPacket;
  EXPECT_EQ(packets[0].Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(packets[31].Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(r.ErrorCount, 32u - device->IsoPackets().size());
}

}  // namespace
