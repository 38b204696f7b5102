// Streams on a host controller whose isochronous scheduling threshold is
// three frames, as an xHCI controller's can be with its interrupter
// latency: a start frame closer than that is refused. At UrbSize 1 the
// driver must still stream without a gap, and start or fall behind
// without naming such a frame.
#include <functional>
#include <random>

#include "stream_harness.h"

namespace sttest {
namespace {

using winsim::usb::VTime;

constexpr VTime kMs = 10000;

class ThresholdTest : public StreamTest {
 protected:
  void SetUp() override { machine.Bus(1)->Controller().SetSchedulingThreshold(3); }
};

struct Disturbance {
  const char *what;
  // Done to the running streams; returns whether the ramp may have a gap.
  std::function<bool(UsbAudioDevice &, winsim::Machine &)> apply;
};

TEST_F(ThresholdTest, UrbSizeOneStreamsWithoutAStartFrameTheControllerRefuses) {
  const Disturbance cases[] = {
      {"nothing", [](UsbAudioDevice &, winsim::Machine &) { return false; }},
      {"the render stream starts again beside the running capture stream",
       [](UsbAudioDevice &device, winsim::Machine &machine) {
         UsbAudioStreamStop(device.renderStream);
         machine.RunFor(3 * kMs);
         EXPECT_EQ(UsbAudioStreamStart(device.renderStream), STATUS_SUCCESS);
         return true;
       }},
      {"every completion comes 12 ms late once (a stalled processor)",
       [](UsbAudioDevice &, winsim::Machine &machine) {
         auto draws = std::make_shared<int>(0);
         machine.Bus(1)->Controller().SetCompletionLatency(
             [draws](std::mt19937 &) { return ++*draws == 20 ? 12 * kMs : VTime{0}; });
         machine.RunFor(100 * kMs);
         machine.Bus(1)->Controller().SetCompletionLatency(nullptr);
         return true;
       }},
  };
  for (const Disturbance &c : cases) {
    SCOPED_TRACE(c.what);
    Plug("Larch");
    installed = false;
    UsbAudioDeviceSetUrbSize(&Ctx(), 1);
    WatchPlayedOutput();
    const size_t logFrom = machine.Log().size();
    auto [render, capture] = RunBoth();
    machine.RunFor(300 * kMs);
    const bool gap = c.apply(Ctx(), machine);
    machine.RunFor(200 * kMs);
    const auto before = device->Render();
    machine.RunFor(500 * kMs);
    const auto after = device->Render();
    EXPECT_TRUE(Running(&Render()));
    EXPECT_TRUE(Running(&Capture()));
    const auto log = machine.Log();
    for (size_t i = logFrom; i < log.size(); ++i) EXPECT_EQ(log[i].text.find("failed"), std::string::npos) << log[i].text;
    EXPECT_GE(after.framesReceived - before.framesReceived, 23900u);
    EXPECT_EQ(after.underrunEvents, before.underrunEvents);
    if (!gap) {
      EXPECT_EQ(Played().Errors(), 0u);
      EXPECT_EQ(capture.Checker().Errors(), 0u);
    }
    for (NTSTATUS status : startStatuses) EXPECT_EQ(status, STATUS_SUCCESS);
    startStatuses.clear();
    Leave(render);
    Leave(capture);
    device->SetPlayedSink(nullptr);
    Unplug();
  }
}

}  // namespace
}  // namespace sttest
