// The real completion path's cost on this machine, as a markdown table: a
// Machine with the driver and the Larch interface, N user-mode clients each
// streaming through a render and a capture pin (24-in-32, all channels of the
// capture side) with frames kept in flight, measured per millisecond of audio:
//   completion  the URB completion routine's CPU time (winsim counts it per
//               completion: the stream's Distribute into every pin's regions
//               and what else the routine does)
//   Process     every running pin's Process dispatch, timed by a wrapper put
//               in the filter descriptor's pin dispatch before the pins are
//               created (it runs where ks.sys runs it, on a worker)
// beside memcpy of the same client bytes (every pin's 1 ms) timed in the
// same run. Both driver figures include winsim's simulation of what they
// call in ks.sys and the kernel (stream pointers, spin locks), which on
// Windows costs differently; thread CPU time, so waits do not count.
//
// A second table runs every case twice, without the driver logger (every
// trace point one load and compare) and with it, its masks open to the
// failure, refusal and event levels of every area (what a user enables to
// watch streaming; the detail level stays off), and sets the two side by side.
//
//   bash bench/run-pin-figures.sh
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "kerneldriver/ks/pin/audio_pin_dispatch.h"
#include "kerneldriver/pin/pin_fixture.h"
#include "uac2common/tracelog/logger_protocol.h"
#include "winsim/sched/dispatch_cpu.h"

namespace pintest {
namespace {

constexpr uint32_t kWarmUpRounds = 20;    // 10 ms rounds before counting
constexpr uint32_t kCountedRounds = 200;  // 2 s of audio counted

std::atomic<uint64_t> g_processNs{0};
std::atomic<uint64_t> g_processCalls{0};
KSPIN_DISPATCH g_timedDispatch;

NTSTATUS TimedProcess(PKSPIN pin) {
  const uint64_t start = winsim::ThreadCpuNs();
  const NTSTATUS status = kAudioPinDispatch.Process(pin);
  g_processNs += winsim::ThreadCpuNs() - start;
  ++g_processCalls;
  return status;
}

// Median ns of one memcpy of `bytes`, batched above the clock's grain.
double MemcpyNs(size_t bytes) {
  std::vector<uint8_t> from(bytes, 7), to(bytes);
  constexpr int kRepetitions = 501, kBatch = 16;
  std::vector<double> samples;
  for (int i = 0; i < kRepetitions; ++i) {
    const auto start = std::chrono::steady_clock::now();
    for (int j = 0; j < kBatch; ++j) {
      std::memcpy(to.data(), from.data(), bytes);
      asm volatile("" : : "r"(to.data()) : "memory");
    }
    samples.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
                      kBatch);
  }
  std::nth_element(samples.begin(), samples.begin() + kRepetitions / 2, samples.end());
  return samples[kRepetitions / 2];
}

struct Case {
  uint32_t rate;
  uint32_t clients;
  bool traced = false;  // the driver logger present, masks as kUserMasks
  uint32_t round = 0;   // of kRounds: off and on alternate, the medians compared
};

// The machine is shared and its load changes by the second: each case runs
// this many times without and with the logger, alternately.
constexpr uint32_t kRounds = 5;

// What a user enables to watch streaming: failures, refusals and events of
// every area, in both buffers.
constexpr uint32_t kUserMasks = kTraceLevelFailure | kTraceLevelRefusal | kTraceLevelEvent | kTraceAreaMask;

struct Measured {
  double completionNsEach;  // per URB completion
  double completionUsPerMs;
  double totalUsPerMs;  // completion and Process
};

struct Counters {
  uint64_t completionNs, completions, processNs, processCalls;
};

Counters Snapshot(winsim::Machine &machine) {
  const winsim::CpuHistogram urbs = machine.DispatchCpuTime(winsim::DispatchWork::UrbCompletion);
  return {urbs.totalNs, urbs.count, g_processNs.load(), g_processCalls.load()};
}

// Every case's rounds without and with the logger, for the side-by-side table.
struct Rounds {
  std::vector<Measured> off, on;
};
std::map<std::pair<uint32_t, uint32_t>, Rounds> &Compared() {
  static std::map<std::pair<uint32_t, uint32_t>, Rounds> compared;
  return compared;
}

// The median of the rounds, figure by figure.
Measured Median(std::vector<Measured> rounds) {
  Measured median{};
  if (rounds.empty()) return median;
  const size_t middle = rounds.size() / 2;
  for (double Measured::*figure : {&Measured::completionNsEach, &Measured::completionUsPerMs, &Measured::totalUsPerMs}) {
    std::nth_element(rounds.begin(), rounds.begin() + static_cast<ptrdiff_t>(middle), rounds.end(),
                     [figure](const Measured &a, const Measured &b) { return a.*figure < b.*figure; });
    median.*figure = rounds[middle].*figure;
  }
  return median;
}

class CompletionFigures : public PinTest, public ::testing::WithParamInterface<Case> {
 public:
  // The machines have no logger unless a case starts one.
  static void SetUpTestSuite() { dstest::SuiteTraceLogger() = false; }
  static void TearDownTestSuite();

 protected:
  // Every streaming pin created from now on runs its Process through TimedProcess.
  void TimeProcess() {
    g_timedDispatch = kAudioPinDispatch;
    g_timedDispatch.Process = TimedProcess;
    DynamicFilterDescriptor &d = *Ctx().filterDescriptor;
    for (ULONG id = 0; id < d.filter.PinDescriptorsCount; ++id) {
      if (d.pins[id].Dispatch == &kAudioPinDispatch) d.pins[id].Dispatch = &g_timedDispatch;
    }
  }
};

void CompletionFigures::TearDownTestSuite() {
  dstest::SuiteTraceLogger() = true;
  std::printf("\n## Completion path without and with the driver logger (masks 0x%04X, %u ms counted, "
              "median of %u rounds)\n\n",
              kUserMasks, kCountedRounds * 10, kRounds);
  std::printf("| rate | clients | ns per completion, off | on | completion us/ms, off | on | total us/ms, off | on | "
              "completion on/off | total on/off |\n|---|---|---|---|---|---|---|---|---|---|\n");
  for (const auto &[key, rounds] : Compared()) {
    const Measured off = Median(rounds.off), on = Median(rounds.on);
    std::printf("| %u | %u | %.0f | %.0f | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f |\n", key.first, key.second,
                off.completionNsEach, on.completionNsEach, off.completionUsPerMs, on.completionUsPerMs,
                off.totalUsPerMs, on.totalUsPerMs, on.completionNsEach / off.completionNsEach,
                on.totalUsPerMs / off.totalUsPerMs);
  }
  std::fflush(stdout);
}

TEST_P(CompletionFigures, PerMillisecondOfAudio) {
  static bool headed = false;
  if (!headed) {
    std::printf("\n## Completion path, real (Larch, 18 ch 24-in-32 render + capture pin per client, "
                "%u ms counted, no logger)\n\n", kCountedRounds * 10);
    std::printf("| rate | clients | completion us/ms | Process us/ms | total us/ms | Process calls/ms | "
                "memcpy us/ms | ratio to memcpy |\n|---|---|---|---|---|---|---|---|\n");
    headed = true;
  }
  const Case c = GetParam();
  if (c.traced) {
    winsim::TraceLoggerOptions options;
    options.kernelMask = kUserMasks;
    options.userMask = kUserMasks;
    ASSERT_TRUE(machine.StartTraceLogger(options));
  }
  PlugLoopback("Larch");
  TimeProcess();
  const WaveShape shape{18, c.rate, 32, 24, true};
  std::vector<Flow> flows;
  flows.reserve(2 * c.clients);
  for (uint32_t i = 0; i < c.clients; ++i) {
    CPinClient &capture = OpenClient(true, shape);
    CPinClient &render = OpenClient(false, shape);
    ASSERT_TRUE(capture.SetState(KSSTATE_RUN));
    ASSERT_TRUE(render.SetState(KSSTATE_RUN));
    flows.push_back(Flow{&capture, true, {}});
    flows.push_back(Flow{&render, false, [](uint64_t frame, uint8_t *out) {
                           for (uint32_t ch = 0; ch < 18; ++ch) {
                             const int32_t sample = Ramp32(frame, ch, 18);
                             std::memcpy(out + ch * 4, &sample, 4);
                           }
                         }});
  }
  std::vector<Flow *> pointers;
  for (Flow &flow : flows) pointers.push_back(&flow);
  Counters first{}, last{};
  Pump(pointers, (kWarmUpRounds + kCountedRounds) * 10, 10, 6, [&](uint32_t round) {
    if (round + 1 == kWarmUpRounds) first = Snapshot(machine);
    if (round + 1 == kWarmUpRounds + kCountedRounds) last = Snapshot(machine);
  });
  for (Flow &flow : flows) EXPECT_FALSE(flow.failed);
  if (c.traced) {
    // The driver opened the logger: its pins' state changes are on record.
    ASSERT_NE(machine.TraceLog(), nullptr);
    EXPECT_GT(__atomic_load_n(&machine.TraceLog()->Standard().WriteCounter, __ATOMIC_RELAXED), 0u);
  }
  const double ms = kCountedRounds * 10.0;
  const double completion = static_cast<double>(last.completionNs - first.completionNs) / ms / 1000;
  const double process = static_cast<double>(last.processNs - first.processNs) / ms / 1000;
  const uint64_t completions = last.completions - first.completions;
  const Measured measured{completions == 0 ? 0.0
                                           : static_cast<double>(last.completionNs - first.completionNs) /
                                                 static_cast<double>(completions),
                          completion, completion + process};
  Rounds &rounds = Compared()[{c.rate, c.clients}];
  (c.traced ? rounds.on : rounds.off).push_back(measured);
  if (c.traced || c.round != 0) return;
  const size_t bytesPerMs = static_cast<size_t>(2) * c.clients * shape.BlockAlign() * (c.rate / 1000);
  const double copy = MemcpyNs(bytesPerMs) / 1000;
  std::printf("| %u | %u | %.3f | %.3f | %.3f | %.1f | %.3f | %.1f |\n", c.rate, c.clients, completion, process,
              completion + process, static_cast<double>(last.processCalls - first.processCalls) / ms, copy,
              (completion + process) / copy);
  std::fflush(stdout);
}

// Each case without the logger, then with it, kRounds times.
std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (uint32_t rate : {48000u, 96000u}) {
    for (uint32_t clients : {1u, 2u, 4u}) {
      for (uint32_t round = 0; round < kRounds; ++round) {
        for (bool traced : {false, true}) cases.push_back(Case{rate, clients, traced, round});
      }
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Larch, CompletionFigures, ::testing::ValuesIn(Cases()));

}  // namespace
}  // namespace pintest
