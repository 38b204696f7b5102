// Isochronous statuses as a host stack reports them: an OUT packet the
// device lost looks sent, late packets and missed service intervals are
// not accessed, a babbling IN packet is reported and carries nothing.
#include <usb.h>

#include <algorithm>

#include "scripted_function.h"

namespace usbtest {
namespace {

using winsim::kTicksPerMillisecond;
using winsim::usb::Handshake;
using winsim::usb::LateStart;

constexpr uint32_t kPacketBytes = 8;

struct LossCase {
  const char *name;
  bool visible;
  int32_t packetStatus;
  int32_t transferStatus;
};

class LostOutPackets : public ScriptedControllerTest, public ::testing::WithParamInterface<LossCase> {};

TEST_P(LostOutPackets, AreInvisibleToTheHostUnlessTheKnobShowsThem) {
  controller.SetOutLossVisible(GetParam().visible);
  device->isoAnswer = Handshake::Error;
  FramesTransfer out(0x01, 1, kPacketBytes);
  out.transfer.asap = true;
  ASSERT_EQ(controller.Submit(port, &out.transfer), USBD_STATUS_PENDING);
  ASSERT_TRUE(machine.RunUntil([&] { return out.completions == 1; }, 100 * kTicksPerMillisecond));
  EXPECT_EQ(out.status, GetParam().transferStatus);
  EXPECT_EQ(out.packets[5].status, GetParam().packetStatus);
  EXPECT_EQ(out.transfer.actualLength, GetParam().visible ? 0u : 8 * kPacketBytes);
}

INSTANTIATE_TEST_SUITE_P(
    Knob, LostOutPackets,
    ::testing::Values(LossCase{"Hidden", false, USBD_STATUS_SUCCESS, USBD_STATUS_SUCCESS},
                      LossCase{"Visible", true, USBD_STATUS_XACT_ERROR, USBD_STATUS_ISOCH_REQUEST_FAILED}),
    [](const auto &info) { return std::string(info.param.name); });

struct LateCase {
  const char *name;
  int32_t offset;  // start frame from the current one; the threshold is 1 frame
  uint32_t latePackets;
  int32_t transferStatus;
};

class LateStartAccepted : public ScriptedControllerTest, public ::testing::WithParamInterface<LateCase> {};

TEST_P(LateStartAccepted, PacketsBehindTheThresholdAreNotAccessedAndTheRestGoOut) {
  const LateCase &c = GetParam();
  machine.RunFor(20 * kTicksPerMillisecond + kTicksPerMillisecond / 4);
  FramesTransfer out(0x01, 3, kPacketBytes);
  const uint32_t current = controller.CurrentFrame();
  out.transfer.startFrame = current + c.offset;
  ASSERT_EQ(controller.Submit(port, &out.transfer), USBD_STATUS_PENDING);
  ASSERT_TRUE(machine.RunUntil([&] { return out.completions == 1; }, 100 * kTicksPerMillisecond));
  EXPECT_EQ(out.status, c.transferStatus);
  for (uint32_t i = 0; i < 24; ++i) {
    EXPECT_EQ(out.packets[i].status, i < c.latePackets ? USBD_STATUS_ISO_NOT_ACCESSED_LATE : USBD_STATUS_SUCCESS)
        << "packet " << i;
  }
  EXPECT_EQ(out.transfer.errorCount, c.latePackets);
  EXPECT_EQ(device->outBytes.size(), 24 - c.latePackets);
  if (c.latePackets < 24) {
    EXPECT_EQ(device->outBytes.begin()->first, (uint64_t{current} + 1) * 8) << "from the first schedulable frame";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, LateStartAccepted,
    ::testing::Values(LateCase{"NextFrame", 1, 0, USBD_STATUS_SUCCESS},
                      LateCase{"CurrentFrame", 0, 8, USBD_STATUS_SUCCESS},
                      LateCase{"OneFramePast", -1, 16, USBD_STATUS_SUCCESS},
                      LateCase{"AllPast", -3, 24, USBD_STATUS_BAD_START_FRAME}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ScriptedControllerTest, AStartFrameBeyondTheRangeIsRefusedWhateverThePolicy) {
  for (LateStart policy : {LateStart::Refuse, LateStart::NotAccessed}) {
    controller.SetLateStart(policy);
    for (int32_t offset : {-1025, 1025}) {
      FramesTransfer out(0x01, 1, kPacketBytes);
      out.transfer.startFrame = controller.CurrentFrame() + offset;
      EXPECT_EQ(controller.Submit(port, &out.transfer), USBD_STATUS_BAD_START_FRAME) << offset;
    }
  }
}

struct FaultCase {
  const char *name;
  uint8_t endpoint;
  bool babble;
  int32_t status;
};

class ControllerFaults : public ScriptedControllerTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ControllerFaults, HitOnlyAsManyPacketsAsAskedAndReportThem) {
  const FaultCase &c = GetParam();
  if (c.babble) {
    controller.BabbleIsochronousIn(3, c.endpoint);
  } else {
    controller.MissServiceIntervals(3, c.endpoint);
  }
  FramesTransfer other(c.endpoint == 0x01 ? 0x82 : 0x01, 1, kPacketBytes);
  FramesTransfer hit(c.endpoint, 1, kPacketBytes);
  hit.transfer.asap = other.transfer.asap = true;
  ASSERT_EQ(controller.Submit(port, &hit.transfer), USBD_STATUS_PENDING);
  ASSERT_EQ(controller.Submit(port, &other.transfer), USBD_STATUS_PENDING);
  ASSERT_TRUE(machine.RunUntil([&] { return hit.completions + other.completions == 2; }, 100 * kTicksPerMillisecond));
  EXPECT_EQ(hit.status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(hit.transfer.errorCount, 3u);
  for (uint32_t i = 0; i < 8; ++i) {
    EXPECT_EQ(hit.packets[i].status, i < 3 ? c.status : USBD_STATUS_SUCCESS) << i;
    if ((c.endpoint & 0x80) != 0) {
      EXPECT_EQ(hit.packets[i].length, i < 3 ? 0u : kPacketBytes) << i;
    }
  }
  EXPECT_EQ(other.transfer.errorCount, 0u);
  EXPECT_EQ(c.babble ? controller.BabbledPackets() : controller.MissedServiceIntervals(), 3u);
  if (c.endpoint == 0x01) {
    EXPECT_EQ(device->outBytes.size(), 5u) << "a missed interval sends nothing";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ControllerFaults,
    ::testing::Values(FaultCase{"MissedOut", 0x01, false, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW},
                      FaultCase{"MissedIn", 0x82, false, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW},
                      FaultCase{"BabbleIn", 0x82, true, USBD_STATUS_BABBLE_DETECTED}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace usbtest
