// What the render path delivers under each way a host controller reads OUT
// data (OutFetch), one row per model, rate, mode and completion-latency
// profile, over QAV_FIGURE_SECONDS (default 60) of virtual time with the
// render pin running. Columns: OUT packets that went over the bus, packets
// the driver wrote after the controller had fetched them (sent stale),
// frames the device played as the ramp, ramp errors, device FIFO underruns.
//   build/host/bench/stream_figures --gtest_filter=OutFetchFigures.*
// QAV_FIGURE_CASE=n runs only row n.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>

#include "completion_profile.h"
#include "kerneldriver/device/sample_rate.h"
#include "stream_harness.h"

namespace sttest {
namespace {

using winsim::usb::OutFetch;
using winsim::usb::VTime;
constexpr VTime kMs = 10000;

uint64_t Seconds() {
  const char *text = std::getenv("QAV_FIGURE_SECONDS");
  return text != nullptr && *text != 0 ? std::strtoull(text, nullptr, 10) : 60;
}

bool Selected(int row) {
  const char *text = std::getenv("QAV_FIGURE_CASE");
  return text == nullptr || *text == 0 || std::atoi(text) == row;
}

struct Row {
  const char *model;
  ULONG rate;
  OutFetch mode;
  const char *modeName;
  bool bursty;
};

class OutFetchFigures : public StreamTest {};

TEST_F(OutFetchFigures, Render) {
  std::vector<Row> rows;
  for (const char *model : {"Larch", "Maple"}) {
    for (ULONG rate : {48000u, 192000u}) {
      for (bool bursty : {false, true}) {
        rows.push_back({model, rate, OutFetch::AtMicroframe, "at the microframe", bursty});
        rows.push_back({model, rate, OutFetch::Ahead, "a frame ahead", bursty});
        rows.push_back({model, rate, OutFetch::AtSubmission, "at submission", bursty});
      }
    }
  }
  const uint64_t seconds = Seconds();
  std::printf("| row | model | rate | fetch | DPC latency | UrbSize | seconds | OUT packets | written after fetch | "
              "%% | played as ramp | ramp errors | glitches | underruns | failed packets |\n");
  for (int row = 0; row < static_cast<int>(rows.size()); ++row) {
    if (!Selected(row)) continue;
    const Row &r = rows[row];
    Plug(r.model);
    installed = false;  // rows of other models have other hardware ids
    if (Ctx().sampleRate != r.rate) {
      ASSERT_EQ(UsbAudioDeviceChangeSampleRate(&Ctx(), r.rate), STATUS_SUCCESS);
    }
    winsim::usb::HostController &controller = machine.Bus(1)->Controller();
    controller.SetOutFetch(r.mode);
    controller.SetCompletionLatency(r.bursty ? std::function<VTime(std::mt19937 &)>(BurstyLatency) : nullptr, 7);
    WatchPlayedOutput();
    TestPin &render = RenderPin();
    Run(render);
    const auto before = device->Render();
    machine.RunFor(static_cast<VTime>(seconds) * 1000 * kMs);
    const auto after = device->Render();
    const ULONG failed = Render().failedPackets;
    Leave(render);
    const winsim::usb::OutFetchCounts counts = controller.OutFetchStats(handle.port, Render().dataEndpoint);
    const RampChecker played = Played();
    std::printf("| %d | %s | %u | %s | %s | %u | %" PRIu64 " | %" PRIu64 " | %" PRIu64 " | %.2f | %" PRIu64 " | %" PRIu64
                " | %" PRIu64 " | %" PRIu64 " | %u |\n",
                row, r.model, static_cast<unsigned>(r.rate), r.modeName, r.bursty ? kBurstyLatencyName : "none",
                static_cast<unsigned>(Render().framesPerUrb), seconds, counts.packets, counts.writtenAfterFetch,
                counts.packets ? 100.0 * static_cast<double>(counts.writtenAfterFetch) / static_cast<double>(counts.packets) : 0.0,
                played.RampFrames(), played.Errors(), played.Glitches(), after.underrunEvents - before.underrunEvents,
                static_cast<unsigned>(failed));
    std::fflush(stdout);
    controller.SetOutFetch(OutFetch::Ahead);
    controller.SetCompletionLatency(nullptr);
    device->SetPlayedSink(nullptr);
    Unplug();
  }
}

}  // namespace
}  // namespace sttest
