// The streaming engine's figures, each a table on stdout (one row per case):
//   RateMatching   device FIFO over QAV_FIGURE_MINUTES (default 60) of virtual
//                  time, implicit (Larch) and explicit (Maple) feedback,
//                  44.1/48 kHz, drift -200/0/+200 ppm; explicit feedback
//                  every microframe (Aspen) and every fourth (Elm); the
//                  rule: no glitch, FIFO mean within ±8 frames of its start;
//                  underrun microframes are also counted from the DAC's start.
//                  Completions come late by the bursty profile and the
//                  controller's scheduling threshold is 2 frames
//                  (QAV_FIGURE_DPC=none: on time, the default threshold)
//   Exactness      a ramp through the device and back over
//                  QAV_FIGURE_MINUTES (default 10) at UrbSize 1, 3, 5, 10
//   Latency        region queued → first sample on the bus (render), sample on
//                  the bus → region at the pin (capture), UrbSize 1, 3, 5
//   StartUp        what the latency probe measures, idle and with simulated
//                  DPC latency
//   DispatchCpu    real CPU time per DPC and per URB completion while a
//                  48 kHz Larch stream (render and capture) runs
//                  QAV_FIGURE_SECONDS (default 10) of virtual time, as
//                  histograms (QAV_PARALLEL_SEED=n: on a machine in
//                  parallel mode)
// QAV_FIGURE_CASE=n runs only row n of a table (the script runs rows in parallel).
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <algorithm>
#include <random>
#include <string>

#include "completion_profile.h"
#include "kerneldriver/device/sample_rate.h"
#include "kerneldriver/device/settings.h"
#include "stream_harness.h"
#include "uac2common/tracelog/trace_catalog.h"
#include "winsim/kernel/trace_logger.h"
#include "winsim/kernel/trace_logger_decode.h"
#include "winsim/sched/dispatch_cpu.h"
#include "winsim/sched/parallel_mode.h"

namespace sttest {
namespace {

using winsim::usb::VTime;
constexpr VTime kMs = 10000;
constexpr VTime kMinute = 60000 * kMs;

uint64_t EnvNumber(const char *name, uint64_t fallback) {
  const char *text = std::getenv(name);
  return text != nullptr && *text != 0 ? std::strtoull(text, nullptr, 10) : fallback;
}

bool Selected(int row) {
  const char *text = std::getenv("QAV_FIGURE_CASE");
  return text == nullptr || *text == 0 || std::atoi(text) == row;
}

class Figures : public StreamTest {
 protected:
  void PlugAt(const char *model, ULONG rate, int32_t driftPpm) {
    Plug(model);
    installed = false;  // rows of other models have other hardware ids
    device->SetDriftPpm(driftPpm);
    if (Ctx().sampleRate != rate) {
      ASSERT_EQ(UsbAudioDeviceChangeSampleRate(&Ctx(), rate), STATUS_SUCCESS);
    }
  }
};

struct RateCase {
  const char *model;
  const char *feedback;
  ULONG rate;
  int32_t drift;
};

bool BurstyCompletions() {
  const char *text = std::getenv("QAV_FIGURE_DPC");
  return text == nullptr || std::strcmp(text, "none") != 0;
}

TEST_F(Figures, RateMatching) {
  const uint64_t minutes = EnvNumber("QAV_FIGURE_MINUTES", 60);
  const bool bursty = BurstyCompletions();
  const RateCase cases[] = {
      {"Larch", "implicit", 44100, -200}, {"Larch", "implicit", 44100, 0}, {"Larch", "implicit", 44100, 200},
      {"Larch", "implicit", 48000, -200}, {"Larch", "implicit", 48000, 0}, {"Larch", "implicit", 48000, 200},
      {"Maple", "explicit", 44100, -200}, {"Maple", "explicit", 44100, 0}, {"Maple", "explicit", 44100, 200},
      {"Maple", "explicit", 48000, -200}, {"Maple", "explicit", 48000, 0}, {"Maple", "explicit", 48000, 200},
      {"Aspen", "explicit/1", 44100, -200}, {"Aspen", "explicit/1", 44100, 200},
      {"Elm", "explicit/4", 44100, -200},   {"Elm", "explicit/4", 44100, 200},
  };
  std::printf("| row | model | feedback | rate | drift ppm | minutes | underruns | overruns | underrun µframes from start "
              "| FIFO depth | start threshold | level at 1 s | level min..max | level at end | mean level − start "
              "| ramp errors | glitches | stale OUT packets | max lateness | DPC latency |\n");
  for (int row = 0; row < static_cast<int>(std::size(cases)); ++row) {
    if (!Selected(row)) continue;
    const RateCase &c = cases[row];
    PlugAt(c.model, c.rate, c.drift);
    winsim::usb::HostController &controller = machine.Bus(1)->Controller();
    const uint32_t threshold = controller.SchedulingThreshold();
    if (bursty) {
      controller.SetCompletionLatency(BurstyLatency, 7);
      controller.SetSchedulingThreshold(2);
    }
    WatchPlayedOutput();
    TestPin &render = RenderPin();
    Run(render);
    machine.RunFor(1000 * kMs);
    const auto settled = device->Render();
    for (uint64_t m = 0; m < minutes; ++m) machine.RunFor(kMinute);
    const auto end = device->Render();
    const RampChecker played = Played();
    const ULONG maxLateness = Render().maxLateness;
    const winsim::usb::OutFetchCounts fetched = controller.OutFetchStats(handle.port, Render().dataEndpoint);
    Leave(render);
    controller.SetCompletionLatency(nullptr);
    controller.SetSchedulingThreshold(threshold);
    std::printf("| %d | %s | %s | %u | %+d | %" PRIu64 " | %" PRIu64 " | %" PRIu64 " | %" PRIu64
                " | %u | %u | %u | %u..%u | %u | %+.1f | %" PRIu64 " | %" PRIu64 " | %" PRIu64 " | %u | %s |\n",
                row, c.model, c.feedback, static_cast<unsigned>(c.rate), c.drift, minutes,
                end.underrunEvents - settled.underrunEvents, end.overrunEvents - settled.overrunEvents,
                end.underrunMicroframes, end.fifoDepth, end.startThreshold, settled.level, end.minLevel, end.maxLevel, end.level, end.MeanLevel() - end.StartLevel(), played.Errors(),
                played.Glitches(), fetched.writtenAfterFetch, static_cast<unsigned>(maxLateness),
                bursty ? kBurstyLatencyName : "none");
    std::fflush(stdout);
    device->SetPlayedSink(nullptr);
    Unplug();
  }
}

TEST_F(Figures, Exactness) {
  const uint64_t minutes = EnvNumber("QAV_FIGURE_MINUTES", 10);
  const ULONG sizes[] = {1, 3, 5, 10};
  std::printf("| row | UrbSize | minutes | frames played as the ramp | played errors | frames captured as the ramp "
              "| captured errors | first played frame | first captured frame |\n");
  for (int row = 0; row < static_cast<int>(std::size(sizes)); ++row) {
    if (!Selected(row)) continue;
    PlugAt("Larch", 48000, 0);
    UsbAudioDeviceSetUrbSize(&Ctx(), sizes[row]);
    WatchPlayedOutput();
    auto [render, capture] = RunBoth();
    for (uint64_t m = 0; m < minutes; ++m) machine.RunFor(kMinute);
    Leave(render);
    Leave(capture);
    const RampChecker played = Played();
    const RampChecker captured = capture.Checker();
    std::printf("| %d | %u | %" PRIu64 " | %" PRIu64 " | %" PRIu64 " | %" PRIu64 " | %" PRIu64 " | %" PRIu64 " | %" PRIu64 " |\n",
                row, static_cast<unsigned>(sizes[row]), minutes, played.RampFrames(), played.Errors(),
                captured.RampFrames(), captured.Errors(), played.FirstRampFrame(), captured.FirstRampFrame());
    std::fflush(stdout);
    device->SetPlayedSink(nullptr);
    Unplug();
  }
}

// Bus microframes at which each ramp frame began a packet, per direction.
struct PacketLog {
  std::mutex lock;
  std::vector<std::pair<uint64_t, uint64_t>> out;  // (first ramp frame, microframe)
  std::vector<std::pair<uint64_t, uint64_t>> in;
};

struct Spread {
  double min = 1e18, max = 0, sum = 0;
  uint64_t count = 0;
  void Add(double v) {
    min = std::min(min, v);
    max = std::max(max, v);
    sum += v;
    ++count;
  }
  std::string Text() const {
    char text[64];
    std::snprintf(text, sizeof text, "%.0f / %.1f / %.0f", count ? min : 0, count ? sum / count : 0, max);
    return text;
  }
};

// Microframe at which ramp frame `frame` crossed the bus, from packets that
// begin with a known frame and carry `perPacket` frames or fewer.
std::optional<uint64_t> CrossedAt(const std::vector<std::pair<uint64_t, uint64_t>> &packets, uint64_t frame) {
  auto it = std::upper_bound(packets.begin(), packets.end(), std::make_pair(frame, UINT64_MAX));
  if (it == packets.begin()) return std::nullopt;
  return std::prev(it)->second;
}

TEST_F(Figures, Latency) {
  const ULONG sizes[] = {1, 3, 5};
  // The device's converter delays lie outside what the bus shows: a render
  // sample reaches the output DAC delay frames after the bus, a captured one
  // entered the input ADC delay frames before it, and a capture packet
  // leaves with samples taken in the service interval before it (one
  // microframe's worth on Larch) unless the model sends them during it.
  std::printf("| row | UrbSize | render: region queued → its first sample on the bus (samples, min / mean / max) "
              "| + DAC delay | capture: oldest sample of a URB on the bus → at the pin "
              "| capture: newest sample → at the pin | + ADC delay | + capture packet's own interval |\n");
  for (int row = 0; row < static_cast<int>(std::size(sizes)); ++row) {
    if (!Selected(row)) continue;
    PlugAt("Larch", 48000, 0);
    UsbAudioDeviceSetUrbSize(&Ctx(), sizes[row]);
    PacketLog log;
    bus->isoObserver = [&log](uint8_t endpoint, uint64_t microframe, const uint8_t *data, uint32_t length) {
      if (length < 4) return;
      int32_t first;
      std::memcpy(&first, data, 4);
      if (first == 0) return;
      std::lock_guard guard(log.lock);
      auto &list = (endpoint & 0x80) ? log.in : log.out;
      list.emplace_back(RampFrameOf(first), microframe);
    };
    TestPin &render = RenderPin();
    TestPin &capture = CapturePin();
    render.RecordArrivals(true);
    capture.RecordArrivals(true);
    Run(capture);
    Run(render);
    machine.RunFor(5000 * kMs);
    Leave(render);
    Leave(capture);
    bus->isoObserver = nullptr;
    const double samplesPerMicroframe = 48000.0 / 8000.0;
    // One completion queues its regions at one moment: for render the first
    // of them holds the URB's first sample; for capture the first region
    // holds the oldest sample and the last region the newest.
    Spread renderSpread, captureOldest, captureNewest;
    uint64_t previous = UINT64_MAX;
    for (const RegionArrival &a : render.Arrivals()) {
      const bool first = a.microframe != previous;
      previous = a.microframe;
      if (!first || a.firstFrame == 0) continue;
      auto at = CrossedAt(log.out, a.firstFrame);
      if (at && *at >= a.microframe) renderSpread.Add((*at - a.microframe) * samplesPerMicroframe);
    }
    const auto arrivals = capture.Arrivals();
    for (size_t i = 0; i < arrivals.size(); ++i) {
      const RegionArrival &a = arrivals[i];
      const bool first = i == 0 || arrivals[i - 1].microframe != a.microframe;
      const bool last = i + 1 == arrivals.size() || arrivals[i + 1].microframe != a.microframe;
      if (a.firstFrame == 0 || a.frames == 0) continue;
      auto at = CrossedAt(log.in, a.firstFrame);
      if (!at || *at > a.microframe) continue;
      const double crossing = (a.microframe - *at) * samplesPerMicroframe;
      if (first) captureOldest.Add(crossing);
      if (last) captureNewest.Add(crossing - (a.frames - 1));
    }
    const winsim::devices::DeviceBehaviour &behaviour = device->Definition().model.behaviour;
    const bool afterInterval = behaviour.captureTiming == winsim::devices::CaptureTiming::AfterInterval;
    std::printf("| %d | %u | %s | %u | %s | %s | %u | %s |\n", row, static_cast<unsigned>(sizes[row]),
                renderSpread.Text().c_str(), static_cast<unsigned>(winsim::devices::DacDelayFrames(behaviour)),
                captureOldest.Text().c_str(), captureNewest.Text().c_str(),
                static_cast<unsigned>(winsim::devices::AdcDelayFrames(behaviour)), afterInterval ? "6" : "0");
    std::fflush(stdout);
    Unplug();
  }
}

struct ProfileCase {
  const char *what;
  std::function<VTime(std::mt19937 &)> sampler;
};

TEST_F(Figures, StartUp) {
  const ProfileCase cases[] = {
      {"idle machine", nullptr},
      {"DPC latency 50-400 us", [](std::mt19937 &r) { return std::uniform_int_distribution<VTime>(500, 4000)(r); }},
      {"DPC latency 1.2-2.4 ms", [](std::mt19937 &r) { return std::uniform_int_distribution<VTime>(12000, 24000)(r); }},
      {"DPC latency 3.2 ms", [](std::mt19937 &) { return VTime{32000}; }},
      {"DPC latency 0.5-2.5 ms",
       [](std::mt19937 &r) { return std::uniform_int_distribution<VTime>(5000, 25000)(r); }},
      {"DPC latency 90% 0.1 ms, 10% 3-6 ms", BurstyLatency},
  };
  std::printf("| row | profile | latency probe result (frames) | minimum UrbSize | UrbSize after start |\n");
  for (int row = 0; row < static_cast<int>(std::size(cases)); ++row) {
    if (!Selected(row)) continue;
    machine.Bus(1)->Controller().SetCompletionLatency(cases[row].sampler, 7);
    Plug("Larch");
    // The driver's last probe result, from its trace records.
    std::string probe = "?";
    for (const winsim::LoggedRecord &logged : winsim::ReadLogger(*machine.TraceLog())) {
      if (logged.record.MessageId == static_cast<uint32_t>(TraceId::ProbeResult)) {
        probe = std::to_string(logged.record.Arguments[0]);
      }
    }
    std::printf("| %d | %s | %s | %u | %u |\n", row, cases[row].what, probe.c_str(),
                static_cast<unsigned>(Ctx().minUrbSize), static_cast<unsigned>(Ctx().urbSize));
    std::fflush(stdout);
    WriteDriverDword(QAV_VALUE_URB_SIZE, kDefaultUrbSize);  // each row starts from the default
    Unplug();
    machine.Bus(1)->Controller().SetCompletionLatency(nullptr);
  }
}

// Only the streaming is counted: the histograms are emptied once both pins
// run. Release builds give the figures that matter; sanitizer builds cost
// several times more per routine.
TEST_F(Figures, DispatchCpu) {
  const uint64_t seconds = EnvNumber("QAV_FIGURE_SECONDS", 10);
  PlugAt("Larch", 48000, 0);
  auto [render, capture] = RunBoth();
  winsim::DispatchCpu::Instance().Reset(0);
  machine.RunFor(static_cast<VTime>(seconds) * 1000 * kMs);
  const winsim::CpuHistogram dpcs = machine.DispatchCpuTime(winsim::DispatchWork::Dpc);
  const winsim::CpuHistogram urbs = machine.DispatchCpuTime(winsim::DispatchWork::UrbCompletion);
  Leave(render);
  Leave(capture);
  const std::string mode = winsim::ParallelMode::Instance().Describe();
  std::printf("Larch, 48 kHz, render and capture, UrbSize %u, %" PRIu64 " s of virtual time, %s\n\n",
              static_cast<unsigned>(Ctx().urbSize), seconds, mode.empty() ? "serial machine" : mode.c_str());
  std::printf("%s\n%s", dpcs.Format("DPC").c_str(), urbs.Format("URB completion").c_str());
  std::fflush(stdout);
  Unplug();
}

}  // namespace
}  // namespace sttest
