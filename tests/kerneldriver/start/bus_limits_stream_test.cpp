// The driver's streams against the limits of the bus they share: periodic
// bandwidth another interface already holds, the 32-bit frame counter
// wrapping under a running stream, and a bus whose SOF is not locked to the
// system clock.
#include "../streaming/stream_harness.h"
#include "winsim/usb/host_controller.h"
#include "winsim/usb/usb_bus.h"

namespace sttest {
namespace {

using winsim::usb::BusSpeed;
using winsim::usb::Handshake;
using winsim::usb::PeriodicEndpoint;
using winsim::usb::SetupPacket;
using winsim::usb::TransferOutcome;
using winsim::usb::UsbFunction;
using winsim::usb::VTime;

constexpr VTime kMs = 10000;

// Another high-speed interface on the bus, present only as what it books.
class Occupant final : public UsbFunction {
 public:
  BusSpeed Speed() const override { return BusSpeed::High; }
  std::string Label() const override { return "occupant"; }
  TransferOutcome Control(const SetupPacket &, uint8_t *, VTime) override { return {Handshake::Stall, 0}; }
  TransferOutcome IsoOut(uint8_t, uint64_t, const uint8_t *, uint32_t) override { return {Handshake::Stall, 0}; }
  TransferOutcome IsoIn(uint8_t, uint64_t, uint8_t *, uint32_t) override { return {Handshake::Stall, 0}; }
  TransferOutcome BulkOrInterruptIn(uint8_t, VTime, uint8_t *, uint32_t) override { return {Handshake::Stall, 0}; }
  TransferOutcome BulkOrInterruptOut(uint8_t, VTime, const uint8_t *, uint32_t) override {
    return {Handshake::Stall, 0};
  }
  void BusReset(VTime) override {}
};

using BusLimitsTest = StreamTest;

// Another interface streams 192 kHz render on the bus (2000 bytes a
// microframe). Larch at 192 kHz selects each setting alone at the rate
// change, but starting both streams asks for 3800 more: the render setting is
// refused, the start fails with the stack's status and a trace that names
// the bandwidth, and nothing is left running or allocated. With the other
// interface gone the same start succeeds.
TEST_F(BusLimitsTest, AStreamStartTheBusHasNoBandwidthForFailsCleanlyAndSaysWhy) {
  winsim::usb::HostController &controller = machine.Bus(1)->Controller();
  const int occupant = controller.Attach(std::make_shared<Occupant>());
  ASSERT_EQ(controller.ReservePeriodic(occupant, 1, {PeriodicEndpoint{2000, 2, 1, true}}, nullptr),
            USBD_STATUS_SUCCESS);
  Plug("Larch");
  ASSERT_EQ(Node().postStartStatus, STATUS_SUCCESS);
  ASSERT_EQ(UsbAudioDeviceChangeSampleRate(Context(), 192000), STATUS_SUCCESS);
  TestPin &render = RenderPin();
  const uint64_t probed = device->Render().packets;  // the latency probe's, at start
  Run(render);
  EXPECT_TRUE(std::any_of(startStatuses.begin(), startStatuses.end(),
                          [](NTSTATUS s) { return s == static_cast<NTSTATUS>(USBD_STATUS_NO_BANDWIDTH); }));
  EXPECT_TRUE(LogHas(machine, "no USB bandwidth on the bus for its 2000 isochronous bytes per microframe"));
  machine.RunFor(50 * kMs);
  EXPECT_FALSE(Running(Ctx().renderStream));
  EXPECT_EQ(device->Render().packets, probed) << "nothing went to the refused setting";
  Leave(render);
  controller.Detach(occupant);
  startStatuses.clear();
  Run(render);
  for (NTSTATUS status : startStatuses) EXPECT_EQ(status, STATUS_SUCCESS);
  machine.RunFor(200 * kMs);
  EXPECT_TRUE(Running(Ctx().renderStream));
  Leave(render);
  Unplug();
}

struct BusCase {
  const char *model;
  uint32_t startFrame;  // the bus's frame counter when the device is plugged
  int32_t sofPpm;
};

// Streams crossing the frame counter's wrap, and on buses whose SOF runs
// off the system clock: the driver's start frames and its rate matching
// hold, with no glitch and the device FIFO where playback started it.
TEST_F(BusLimitsTest, StreamsHoldAcrossTheFrameWrapAndOnABusWhoseSofRunsOffTheSystemClock) {
  const std::vector<BusCase> cases = {
      {"Larch", 0xFFFFFFFFu - 1500, 0},  {"Maple", 0xFFFFFFFFu - 1500, 0},
      {"Maple", 0x00100000u, 500},       {"Maple", 0x00100000u, -500},
      {"Larch", 0xFFFFFFFFu - 1500, 300},
  };
  for (const BusCase &c : cases) {
    SCOPED_TRACE(std::string(c.model) + " from frame " + std::to_string(c.startFrame) + ", SOF " +
                 std::to_string(c.sofPpm) + " ppm");
    winsim::usb::HostController &controller = machine.Bus(1)->Controller();
    controller.SetSofOffsetPpm(c.sofPpm);
    ASSERT_TRUE(controller.SetCurrentFrame(c.startFrame));
    Plug(c.model);
    installed = false;
    ASSERT_EQ(Node().postStartStatus, STATUS_SUCCESS);
    WatchPlayedOutput();
    TestPin *capture = Ctx().captureStream != nullptr ? &CapturePin() : nullptr;
    if (capture != nullptr) Run(*capture);
    Run(RenderPin());
    machine.RunFor(4000 * kMs);
    const uint32_t frame = controller.CurrentFrame();
    if (c.startFrame > 0xF0000000u) {
      EXPECT_LT(frame, 0x10000u) << "the counter wrapped under the stream";
    }
    ExpectRateMatched(device->Render());
    EXPECT_EQ(Played().Errors(), 0u);
    EXPECT_GT(Played().RampFrames(), 100000u);
    if (capture != nullptr) {
      EXPECT_EQ(capture->Checker().Errors(), 0u);
      EXPECT_GT(capture->Checker().RampFrames(), 100000u);
    }
    if (c.sofPpm != 0 && Ctx().renderStream->feedbackPipe != nullptr) {
      // The device's clock counted in bus microframes: slower by the SOF offset.
      const double nominal = 44100.0 * 65536 / 8000;
      const double drift = winsim::devices::FindModel(c.model)->behaviour.clockDriftPpm * 1e-6;
      EXPECT_NEAR(MeanRenderRate(100), nominal * (1 + drift) / (1 + c.sofPpm * 1e-6), 16.0);
    }
    Unplug();
  }
}

}  // namespace
}  // namespace sttest
