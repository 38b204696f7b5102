// Streams of a plugged interface driven the way running pins drive them:
// the first pin entering RUN prepares and starts both streams (capture
// first), the last one leaving stops and frees them, each state change
// under the device's stream state lock. Test pins stand in for the driver's
// audio pins; the device's played output and the packets on the bus are
// what the tests look at.
#pragma once
#include <memory>
#include <mutex>
#include <vector>

#include "../start/driver_harness.h"
#include "test_pin.h"

namespace sttest {

using dstest::DriverStartTest;

class StreamTest : public DriverStartTest {
 protected:
  void TearDown() override;

  // Pins belong to the fixture and outlive TearDown's leaving RUN: a
  // completion may call a pin until its stream stops.
  TestPin &RenderPin();
  TestPin &CapturePin();
  uint64_t Microframe() const;

  // A render and a capture pin of the plugged device, both in RUN (capture first).
  struct RunningPins {
    TestPin &render;
    TestPin &capture;
  };
  RunningPins RunBoth();

  // The pin enters RUN / leaves it. Statuses of the stream calls made on
  // the way are kept in `startStatuses`. Leave may run on another simulated
  // thread than the test's.
  void Run(TestPin &pin);
  void Leave(TestPin &pin);

  // The device's DAC output checked against the ramp (attach before Run).
  void WatchPlayedOutput();
  RampChecker Played() const;
  uint64_t PlayedFrames() const;

  // The render stream's 16.16 rate averaged over `milliseconds` of running,
  // read once a millisecond: a device that measures its rate reports values
  // a few tens of units apart, so only their mean names the clock.
  double MeanRenderRate(uint32_t milliseconds);
  // The pass rule of rate matching: no glitch, and the device FIFO's mean
  // level within ±8 frames of where playback started it.
  static void ExpectRateMatched(const winsim::devices::RenderStats &stats);

  UsbAudioStream &Capture() { return *Ctx().captureStream; }
  UsbAudioStream &Render() { return *Ctx().renderStream; }

  std::vector<NTSTATUS> startStatuses;

 private:
  std::vector<std::unique_ptr<TestPin>> m_pins;
  std::mutex m_runningLock;
  std::vector<TestPin *> m_running;
  mutable std::mutex m_playedLock;
  RampChecker m_played;
  uint64_t m_playedFrames = 0;
};

// The driver's context of any plugged device.
UsbAudioDevice *ContextOf(PDEVICE_OBJECT pdo);

// Completions change `running` with interlocked operations; read it the same way.
bool Running(UsbAudioStream *stream);
// Whether a line of the machine log or a decoded driver trace record contains `text`.
bool LogHas(const winsim::Machine &machine, const std::string &text);

}  // namespace sttest
