#include "winsim/devices/audio_engine.h"

#include <algorithm>

#include "winsim/devices/feedback_meter.h"
#include "winsim/devices/feedback_servo.h"

namespace winsim::devices {
namespace {

using usb::Handshake;
using usb::TransferOutcome;

// History beyond the loopback delay: covers packets handled after the clock
// has already run past their microframes.
constexpr uint32_t kHistoryMarginFrames = 8192;
constexpr uint64_t kMaxCatchUpMicroframes = 8000ull * 3600;  // one hour

}  // namespace

AudioEngine::AudioEngine(const DeviceBehaviour &behaviour, UsbSpeed speed)
    : m_speed(speed),
      m_loopbackDelay(behaviour.loopbackDelaySamples),
      m_honourResolution(behaviour.honourBitResolution),
      m_applyGains(behaviour.featureUnitsShapeAudio),
      m_feedbackMode(behaviour.feedbackMode),
      m_feedbackJitter(behaviour.feedbackJitterTicks),
      m_captureTiming(behaviour.captureTiming),
      m_randomPhase(behaviour.randomClockPhase),
      m_phases(behaviour.clockPhaseSeed),
      m_historyFrames(kHistoryMarginFrames) {
  m_capture.Configure(behaviour.emptyCapturePacketsAtStart);
  m_render.Configure(behaviour.fifoDepthFrames, behaviour.fifoStartFrames, behaviour.fifoStartMicroseconds,
                     behaviour.underrunPolicy);
}

const AudioEngine::Binding *AudioEngine::Find(uint8_t endpoint) const {
  for (const Binding &binding : m_bindings) {
    if (binding.endpoint == endpoint) return &binding;
  }
  return nullptr;
}

void AudioEngine::Unbind(uint8_t interface) {
  for (const Binding &binding : m_bindings) {
    if (binding.interface != interface) continue;
    if (binding.role == Role::RenderData) m_render.Stop();
    if (binding.role == Role::CaptureData) m_capture.Stop();
  }
  std::erase_if(m_bindings, [&](const Binding &binding) { return binding.interface == interface; });
}

void AudioEngine::Bind(uint8_t interface, const AltSetting &alt) {
  const EndpointInfo *data = alt.DataEndpoint();
  if (data == nullptr) return;
  const uint32_t bits = m_honourResolution ? alt.bitResolution : 0;
  if (data->In()) {
    m_capture.Start(alt.channels, alt.subslot, data->maxPacketBytes);
    m_adc.SetResolution(bits);
  } else {
    if (m_history.Channels() != alt.channels) ResetHistory(alt.channels);
    m_render.Start(alt.channels, alt.subslot, data->maxPacketBytes);
    m_dac.SetResolution(bits);
  }
  const Role role = data->In() ? Role::CaptureData : Role::RenderData;
  m_bindings.push_back(Binding{interface, data->address, role, std::max<uint32_t>(data->intervalMicroframes, 1)});
  if (const EndpointInfo *feedback = alt.FeedbackEndpoint()) {
    m_bindings.push_back(
        Binding{interface, feedback->address, Role::Feedback, std::max<uint32_t>(feedback->intervalMicroframes, 1)});
  }
}

void AudioEngine::Select(uint8_t interface, const AltSetting &alt) {
  Unbind(interface);
  Bind(interface, alt);
  if (!m_render.Active() && !m_capture.Active()) m_clock.Stop();
}

void AudioEngine::StopAll() {
  m_render.Stop();
  m_capture.Stop();
  m_bindings.clear();
  m_clock.Stop();
}

void AudioEngine::SetHistoryFrames(uint32_t frames) {
  m_historyFrames = std::max(frames, kHistoryMarginFrames);
  ResetHistory(m_history.Channels());
}

void AudioEngine::SetGains(std::vector<ChannelGain> render, std::vector<ChannelGain> capture) {
  if (!m_applyGains) return;
  m_dac.SetGains(std::move(render));
  m_adc.SetGains(std::move(capture));
}

void AudioEngine::ResetHistory(uint32_t channels) { m_history.Reset(channels, m_historyFrames + m_loopbackDelay); }

void AudioEngine::EnsureRunning(uint64_t microframe, ClockParams clock) {
  if (m_clock.Running()) return;
  m_clock.Start(microframe, clock, m_randomPhase ? m_phases() % kClockPhaseUnits : 0);
  m_nextMicroframe = microframe;
  ResetHistory(m_render.Active() ? m_render.Channels() : m_history.Channels());
}

// A catch-up longer than kMaxCatchUpMicroframes plays only its end; the
// microframes skipped count as silence in the output history.
void AudioEngine::RunThrough(uint64_t lastMicroframe, ClockParams clock) {
  if (!m_clock.Running()) return;
  if (clock != m_clock.Params()) m_clock.Retune(m_nextMicroframe, clock);
  if (lastMicroframe >= m_nextMicroframe + kMaxCatchUpMicroframes) {
    m_nextMicroframe = lastMicroframe + 1 - kMaxCatchUpMicroframes;
  }
  for (; m_nextMicroframe <= lastMicroframe; ++m_nextMicroframe) PlayMicroframe(m_nextMicroframe);
}

void AudioEngine::PlayMicroframe(uint64_t microframe) {
  const uint64_t first = m_clock.SampleAt(microframe);
  const uint32_t count = static_cast<uint32_t>(m_clock.SampleAt(microframe + 1) - first);
  int32_t *played = m_render.Play(first, count);
  if (played == nullptr) return;
  m_dac.Apply(played, count, m_render.Channels());
  m_history.Append(first, played, count);
  if (m_sink) m_sink(first, count, m_render.Channels(), played);
}

void AudioEngine::AdvanceTo(uint64_t microframe, ClockParams clock) {
  if (microframe > 0) RunThrough(microframe - 1, clock);
}

TransferOutcome AudioEngine::IsoOut(uint8_t endpoint, uint64_t microframe, const uint8_t *data, uint32_t length,
                                    ClockParams clock) {
  const Binding *binding = Find(endpoint);
  if (binding == nullptr || binding->role != Role::RenderData) return {Handshake::NoReply, 0, 0};
  EnsureRunning(microframe, clock);
  m_render.SetRate(clock.rate);
  RunThrough(microframe + binding->interval - 1, clock);
  m_render.Receive(data, length);
  return {Handshake::Ack, length, 0};
}

TransferOutcome AudioEngine::IsoIn(uint8_t endpoint, uint64_t microframe, uint8_t *buffer, uint32_t capacity,
                                   ClockParams clock) {
  const Binding *binding = Find(endpoint);
  if (binding == nullptr || binding->role == Role::RenderData) return {Handshake::NoReply, 0, 0};
  if (binding->role == Role::Feedback) return Feedback(*binding, microframe, buffer, capacity, clock);
  const uint64_t end = microframe + binding->interval;
  EnsureRunning(microframe, clock);
  RunThrough(end - 1, clock);
  uint64_t from = microframe;
  uint64_t to = end;
  if (m_captureTiming == CaptureTiming::AfterInterval) {
    to = microframe;
    from = microframe >= binding->interval ? microframe - binding->interval : 0;
  }
  const uint64_t first = m_clock.SampleAt(from);
  const auto count = static_cast<uint32_t>(m_clock.SampleAt(to) - first);
  return m_capture.Produce(first, count, buffer, capacity, CaptureContext{m_history, m_loopbackDelay, clock.rate, m_adc});
}

void AudioEngine::Lose(uint8_t endpoint, uint64_t microframe, ClockParams clock) {
  const Binding *binding = Find(endpoint);
  if (binding == nullptr || binding->role == Role::Feedback) return;
  EnsureRunning(microframe, clock);
  RunThrough(microframe + binding->interval - 1, clock);
}

// High speed: 16.16 samples per microframe in four bytes; full speed: 10.14
// samples per frame in three (USB 2.0 §5.12.4.2). The value depends on the
// model's feedback mode (feedback_meter.h); a read of microframe m reports
// the interval that ends there.
uint32_t AudioEngine::FeedbackValue(const Binding &binding, uint64_t microframe, ClockParams clock) const {
  const bool high = m_speed == UsbSpeed::High;
  switch (m_feedbackMode) {
    case FeedbackMode::NominalRounded: {
      const ClockParams nominal{clock.rate, 0};
      return high ? FeedbackHighSpeed(nominal) : FeedbackFullSpeed(nominal);
    }
    case FeedbackMode::ZeroUntilPlaying:
      if (!m_render.Playing()) return 0;
      break;
    case FeedbackMode::FifoServo: {
      // Before the DAC starts the FIFO is meant to fill, so the plain rate is reported.
      const uint32_t rate = high ? FeedbackHighSpeed(clock) : FeedbackFullSpeed(clock);
      const RenderStats &render = m_render.Stats();
      return m_render.Playing() ? SteerFeedback(rate, render.level, render.startThreshold) : rate;
    }
    case FeedbackMode::MeasuredRate: break;
  }
  return MeasuredFeedback(clock, m_speed, microframe, binding.interval, m_feedbackJitter);
}

TransferOutcome AudioEngine::Feedback(const Binding &binding, uint64_t microframe, uint8_t *buffer, uint32_t capacity,
                                      ClockParams clock) const {
  const uint32_t size = m_speed == UsbSpeed::High ? 4 : 3;
  if (capacity < size) return {Handshake::Error, 0, 0};
  const uint32_t value = FeedbackValue(binding, microframe, clock);
  for (uint32_t i = 0; i < size; ++i) buffer[i] = static_cast<uint8_t>(value >> (8 * i));
  return {Handshake::Ack, size, 0};
}

}  // namespace winsim::devices
