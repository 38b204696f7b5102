// The device's audio engine: one sample clock shared by the render and the
// capture stream, run microframe by microframe in bus order.
//
// The clock starts at the first data packet after every stream was idle
// (device sample 0 is produced in that microframe, at a phase drawn per
// start) and stops when the last stream stops. Before a data packet of
// microframe m with a service interval of I microframes is handled, the
// clock runs through microframe m + I − 1: the DAC plays each of those
// microframes from what the FIFO held, and a capture packet carries exactly
// the samples the clock produced in the interval before m (or, modelling an
// idealised device, in m … m + I − 1). Packets that arrive late (for
// microframes already run) are handled without going back in time.
#pragma once
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "winsim/devices/capture_stream.h"
#include "winsim/devices/converter.h"
#include "winsim/devices/interface_layout.h"
#include "winsim/devices/output_history.h"
#include "winsim/devices/render_stream.h"
#include "winsim/devices/sample_clock.h"
#include "winsim/usb/usb_function.h"

namespace winsim::devices {

// Receives every frame the DAC plays (underrun silence included), in order:
// `frames` interleaved frames of `channels` samples from device sample
// `firstSample` on. Called under the device's lock; it must not call back
// into the device.
using PlayedSink = std::function<void(uint64_t firstSample, uint32_t frames, uint32_t channels, const int32_t *samples)>;

class AudioEngine {
 public:
  AudioEngine(const DeviceBehaviour &behaviour, UsbSpeed speed);

  // Streaming on `interface` follows its newly selected alternate setting: a
  // setting with an isochronous data endpoint (re)starts it in that format;
  // any other setting stops it.
  void Select(uint8_t interface, const AltSetting &alt);
  void StopAll();

  bool Serves(uint8_t endpoint) const { return Find(endpoint) != nullptr; }
  usb::TransferOutcome IsoOut(uint8_t endpoint, uint64_t microframe, const uint8_t *data, uint32_t length,
                              ClockParams clock);
  usb::TransferOutcome IsoIn(uint8_t endpoint, uint64_t microframe, uint8_t *buffer, uint32_t capacity,
                             ClockParams clock);
  // A packet lost on the bus: the clock still runs through its interval.
  void Lose(uint8_t endpoint, uint64_t microframe, ClockParams clock);
  // Runs the clock through every microframe before `microframe`.
  void AdvanceTo(uint64_t microframe, ClockParams clock);

  // The feature units' gains on the render (DAC) and capture (ADC) paths;
  // ignored when the model's feature units do not shape the audio.
  void SetGains(std::vector<ChannelGain> render, std::vector<ChannelGain> capture);

  void SetPlayedSink(PlayedSink sink) { m_sink = std::move(sink); }
  // Output frames kept for loopback and RecentOutput (at least the loopback
  // delay plus a margin). Forgets what was kept.
  void SetHistoryFrames(uint32_t frames);
  OutputFrames RecentOutput(uint32_t frames) const { return m_history.Last(frames); }

  RenderStream &Render() { return m_render; }
  const RenderStream &Render() const { return m_render; }
  CaptureStream &Capture() { return m_capture; }
  const CaptureStream &Capture() const { return m_capture; }
  bool ClockRunning() const { return m_clock.Running(); }

 private:
  enum class Role : uint8_t { RenderData, CaptureData, Feedback };
  struct Binding {
    uint8_t interface;
    uint8_t endpoint;
    Role role;
    uint32_t interval;  // microframes
  };

  const Binding *Find(uint8_t endpoint) const;
  void Unbind(uint8_t interface);
  void Bind(uint8_t interface, const AltSetting &alt);
  void ResetHistory(uint32_t channels);
  void EnsureRunning(uint64_t microframe, ClockParams clock);
  void RunThrough(uint64_t lastMicroframe, ClockParams clock);
  void PlayMicroframe(uint64_t microframe);
  usb::TransferOutcome Feedback(const Binding &binding, uint64_t microframe, uint8_t *buffer, uint32_t capacity,
                               ClockParams clock) const;
  uint32_t FeedbackValue(const Binding &binding, uint64_t microframe, ClockParams clock) const;

  const UsbSpeed m_speed;
  const uint32_t m_loopbackDelay;
  const bool m_honourResolution;
  const bool m_applyGains;
  const FeedbackMode m_feedbackMode;
  const uint32_t m_feedbackJitter;
  const CaptureTiming m_captureTiming;
  const bool m_randomPhase;
  std::mt19937_64 m_phases;  // one draw per clock start
  Converter m_dac;
  Converter m_adc;
  uint32_t m_historyFrames;
  std::vector<Binding> m_bindings;
  SampleClock m_clock;
  uint64_t m_nextMicroframe = 0;  // the first microframe the clock has not run yet
  RenderStream m_render;
  CaptureStream m_capture;
  OutputHistory m_history;
  PlayedSink m_sink;
};

}  // namespace winsim::devices
