// Streams on a host controller whose isochronous scheduling threshold is
// three frames, as an xHCI controller's can be with its interrupter
// latency: a start frame closer than that is refused. At UrbSize 1 the
// driver must still stream without a gap, and start or fall behind
// without naming such a frame: a refused URB would be a failure record in
// the driver's trace log, and the streams' stop records tell how late their
// transfers came back.
#include <functional>
#include <random>

#include "stream_harness.h"
#include "uac2common/tracelog/trace_catalog.h"
#include "winsim/kernel/trace_logger.h"
#include "winsim/kernel/trace_logger_decode.h"
#include "winsim/sched/parallel_mode.h"

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
  // The most frames a transfer of either stream may come back late, and the
  // least the latest one must (the disturbance was felt).
  uint32_t maxLateness;
  uint32_t minMaxLateness;
};

// The driver's trace records written from `since` (virtual time) on.
std::vector<winsim::LoggedRecord> RecordsSince(winsim::Machine &machine, VTime since) {
  std::vector<winsim::LoggedRecord> records;
  if (machine.TraceLog() == nullptr) return records;
  for (const winsim::LoggedRecord &logged : winsim::ReadLogger(*machine.TraceLog())) {
    if (logged.record.InterruptTime >= static_cast<uint64_t>(since)) records.push_back(logged);
  }
  return records;
}

// The latest stop record of the stream of endpoint `endpoint` ("stream EP
// stopped: URBs, lateness min..max"); null when none.
const TraceRecord *LastStop(const std::vector<winsim::LoggedRecord> &records, uint32_t endpoint) {
  const TraceRecord *last = nullptr;
  for (const winsim::LoggedRecord &logged : records) {
    if (logged.record.MessageId == static_cast<uint32_t>(TraceId::StreamStopped) &&
        logged.record.Arguments[0] == endpoint) {
      last = &logged.record;
    }
  }
  return last;
}

TEST_F(ThresholdTest, UrbSizeOneStreamsWithoutAStartFrameTheControllerRefuses) {
  const Disturbance cases[] = {
      {"nothing", [](UsbAudioDevice &, winsim::Machine &) { return false; }, 0, 0},
      {"the render stream starts again beside the running capture stream",
       [](UsbAudioDevice &device, winsim::Machine &machine) {
         UsbAudioStreamStop(device.renderStream);
         machine.RunFor(3 * kMs);
         EXPECT_EQ(UsbAudioStreamStart(device.renderStream), STATUS_SUCCESS);
         return true;
       },
       0, 0},
      {"every completion comes 12 ms late once (a stalled processor)",
       [](UsbAudioDevice &, winsim::Machine &machine) {
         auto draws = std::make_shared<int>(0);
         machine.Bus(1)->Controller().SetCompletionLatency(
             [draws](std::mt19937 &) { return ++*draws == 20 ? 12 * kMs : VTime{0}; });
         machine.RunFor(100 * kMs);
         machine.Bus(1)->Controller().SetCompletionLatency(nullptr);
         return true;
       },
       12, 11},
  };
  for (const Disturbance &c : cases) {
    SCOPED_TRACE(c.what);
    Plug("Larch");
    installed = false;
    UsbAudioDeviceSetUrbSize(&Ctx(), 1);
    WatchPlayedOutput();
    const size_t logFrom = machine.Log().size();
    const VTime tracedFrom = machine.Now();
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
    const std::vector<winsim::LoggedRecord> records = RecordsSince(machine, tracedFrom);
    for (const winsim::LoggedRecord &logged : records) {
      EXPECT_EQ(logged.record.Flags & (kTraceLevelFailure | kTraceLevelRefusal), 0u)
          << winsim::RecordText(logged.record);
    }
    for (uint32_t endpoint : {Ctx().renderStream->dataEndpoint, Ctx().captureStream->dataEndpoint}) {
      SCOPED_TRACE(endpoint);
      const TraceRecord *stop = LastStop(records, endpoint);
      ASSERT_NE(stop, nullptr) << "the stream's stop is on record";
      EXPECT_GE(stop->Arguments[1], 700u) << "1 ms URBs over the 700 ms and more since the stream last started";
      EXPECT_LE(stop->Arguments[3], c.maxLateness);
      // With several completion threads the stalled one need not be the one
      // that completes this stream's transfers, so only a serial machine
      // shows the stall in every stream's worst lateness.
      if (!winsim::ParallelMode::Instance().On()) {
        EXPECT_GE(stop->Arguments[3], c.minMaxLateness);
      }
    }
    device->SetPlayedSink(nullptr);
    Unplug();
  }
}

}  // namespace
}  // namespace sttest
