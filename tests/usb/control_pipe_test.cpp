// The default pipe with real timing: each request takes what the port's
// profile says, a second one waits for the first, a cancel frees the pipe at
// once, and the default profile makes a rate change the slow request.
#include <usb.h>

#include "scripted_function.h"

namespace usbtest {
namespace {

using winsim::kTicksPerMillisecond;
using winsim::usb::BusSpeed;
using winsim::usb::ControlTiming;
using winsim::usb::Handshake;
using winsim::usb::SetupPacket;
using winsim::usb::VTime;

constexpr SetupPacket kGetRate{0xA1, 0x01, 0x0100, 0x0A00, 4};
constexpr SetupPacket kSetRate{0x21, 0x01, 0x0100, 0x0A00, 4};
constexpr SetupPacket kSetMute{0x21, 0x01, 0x0100, 0x0200, 1};
constexpr SetupPacket kGetDescriptor{0x80, 0x06, 0x0100, 0x0000, 18};

TEST_F(ScriptedControllerTest, ASecondRequestWaitsForTheFirstToFinish) {
  controller.SetControlTiming(port, ControlTiming::Fixed(2 * kTicksPerMillisecond));
  ControlRequest first(kGetRate), second(kSetMute);
  ASSERT_EQ(controller.Submit(port, &first.transfer), USBD_STATUS_PENDING);
  ASSERT_EQ(controller.Submit(port, &second.transfer), USBD_STATUS_PENDING);
  ASSERT_TRUE(machine.RunUntil([&] { return second.completions == 1; }, kTicksPerMillisecond * 100));
  EXPECT_EQ(first.completedAt, 2 * kTicksPerMillisecond);
  EXPECT_EQ(second.completedAt, 4 * kTicksPerMillisecond);
  EXPECT_EQ(device->controlSeenAt, (std::vector<VTime>{0, 2 * kTicksPerMillisecond}));
  EXPECT_EQ(second.status, USBD_STATUS_SUCCESS);
}

struct CancelCase {
  const char *name;
  Handshake firstAnswer;  // Nak: the device never finishes it
};

class CancelFreesThePipe : public ScriptedControllerTest, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(CancelFreesThePipe, ARequestOnTheBusIsCancelledAtOnceAndTheNextOneStarts) {
  controller.SetControlTiming(port, ControlTiming::Fixed(500 * kTicksPerMillisecond));
  device->controlAnswer = GetParam().firstAnswer;
  ControlRequest first(kSetRate), second(kGetRate);
  ASSERT_EQ(controller.Submit(port, &first.transfer), USBD_STATUS_PENDING);
  device->controlAnswer = Handshake::Ack;
  ASSERT_EQ(controller.Submit(port, &second.transfer), USBD_STATUS_PENDING);
  machine.RunFor(10 * kTicksPerMillisecond);
  EXPECT_EQ(device->controlSeenAt.size(), 1u) << "the second request waits";
  EXPECT_TRUE(controller.Cancel(&first.transfer));
  EXPECT_FALSE(controller.Cancel(&first.transfer));
  ASSERT_TRUE(machine.RunUntil([&] { return second.completions == 1; }, 2 * winsim::kTicksPerSecond));
  EXPECT_EQ(first.status, USBD_STATUS_CANCELED);
  EXPECT_EQ(first.completedAt, 10 * kTicksPerMillisecond);
  EXPECT_EQ(device->controlSeenAt.back(), 10 * kTicksPerMillisecond);
  EXPECT_EQ(second.completedAt, 510 * kTicksPerMillisecond);
  EXPECT_EQ(first.completions, 1);
}

INSTANTIATE_TEST_SUITE_P(Requests, CancelFreesThePipe,
                         ::testing::Values(CancelCase{"Slow", Handshake::Ack}, CancelCase{"NeverFinished", Handshake::Nak}),
                         [](const auto &info) { return std::string(info.param.name); });

struct TimingCase {
  const char *name;
  BusSpeed speed;
  SetupPacket setup;
  VTime atLeast;
  VTime atMost;
};

class DefaultTiming : public ScriptedControllerTest, public ::testing::WithParamInterface<TimingCase> {};

// Twenty requests of a kind, one after the other: each within its range,
// and the slow ones are not all the same.
TEST_P(DefaultTiming, EachRequestTakesWhatItsKindTakesOnSuchADevice) {
  const TimingCase &c = GetParam();
  controller.SetControlTiming(port, winsim::usb::DefaultControlTiming(c.speed));
  VTime shortest = c.atMost, longest = 0;
  for (int i = 0; i < 20; ++i) {
    ControlRequest request(c.setup);
    const VTime before = machine.Now();
    ASSERT_EQ(controller.Submit(port, &request.transfer), USBD_STATUS_PENDING);
    ASSERT_TRUE(machine.RunUntil([&] { return request.completions == 1; }, winsim::kTicksPerSecond));
    const VTime took = request.completedAt - before;
    EXPECT_GE(took, c.atLeast);
    EXPECT_LE(took, c.atMost);
    shortest = std::min(shortest, took);
    longest = std::max(longest, took);
  }
  EXPECT_LT(shortest, longest);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DefaultTiming,
    ::testing::Values(
        TimingCase{"HighSpeedRateChange", BusSpeed::High, kSetRate, 40 * kTicksPerMillisecond, 300 * kTicksPerMillisecond},
        TimingCase{"HighSpeedRateRead", BusSpeed::High, kGetRate, 1250, 2 * kTicksPerMillisecond},
        TimingCase{"HighSpeedMute", BusSpeed::High, kSetMute, 1250, 2 * kTicksPerMillisecond},
        TimingCase{"HighSpeedDescriptor", BusSpeed::High, kGetDescriptor, 1250, 2 * kTicksPerMillisecond},
        TimingCase{"FullSpeedRateChange", BusSpeed::Full, kSetRate, 10 * kTicksPerMillisecond, 60 * kTicksPerMillisecond},
        TimingCase{"FullSpeedRateRead", BusSpeed::Full, kGetRate, 5000, 3 * kTicksPerMillisecond}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ScriptedControllerTest, APortStartsWithTheDefaultTimingOfItsSpeed) {
  ControlRequest request(kSetRate);
  ASSERT_EQ(controller.Submit(port, &request.transfer), USBD_STATUS_PENDING);
  ASSERT_TRUE(machine.RunUntil([&] { return request.completions == 1; }, winsim::kTicksPerSecond));
  EXPECT_GE(request.completedAt, 40 * kTicksPerMillisecond);
}

}  // namespace
}  // namespace usbtest
