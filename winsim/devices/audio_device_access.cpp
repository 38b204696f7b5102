// What tests observe and change on a simulated device from outside the bus.
#include "winsim/devices/audio_device.h"

#include "winsim/machine.h"
#include "winsim/usb/usb_bus.h"

namespace winsim::devices {

uint8_t AudioDevice::Configuration() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_state.Configuration();
}

uint8_t AudioDevice::AlternateSetting(uint8_t interface) const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_state.Alternate(interface);
}

uint32_t AudioDevice::ClockRate(uint8_t clockId) const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_clocks.Rate(clockId);
}

bool AudioDevice::ClockValid(uint8_t clockId) const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_clocks.Valid(clockId);
}

uint8_t AudioDevice::SelectorInput() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_clocks.SelectorInput();
}

uint8_t AudioDevice::ActiveClock() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_clocks.ActiveClock();
}

uint32_t AudioDevice::ActiveRate() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_clocks.ActiveRate();
}

bool AudioDevice::QueueStatus(uint8_t entity, uint8_t selector) {
  const InterfaceInfo *control = m_layout.AudioControl();
  if (m_statusEndpoint == 0 || control == nullptr) return false;
  m_status.Push(ControlChanged(entity, selector, control->number));
  return true;
}

void AudioDevice::SetClockValid(uint8_t clockId, bool valid) {
  bool queued = false;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_clocks.SetValid(clockId, valid)) return;
    if (valid && clockId == m_clocks.ActiveClock()) m_settle.Changed(m_lastSeen);
    queued = QueueStatus(clockId, usb_const::kClockValidityControl);
  }
  if (queued) NotifyDataReady(m_statusEndpoint);
}

bool AudioDevice::SetLockedRate(uint8_t clockId, uint32_t rate) {
  bool queued = false;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    const uint32_t before = m_clocks.Rate(clockId);
    if (!m_clocks.SetLockedRate(clockId, rate)) return false;
    if (before == rate) return true;
    if (clockId == m_clocks.ActiveClock()) m_settle.Changed(m_lastSeen);
    queued = QueueStatus(clockId, usb_const::kClockSamplingFrequencyControl);
  }
  if (queued) NotifyDataReady(m_statusEndpoint);
  return true;
}

bool AudioDevice::SwitchClockInput(uint8_t input) {
  bool queued = false;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    const uint8_t selector = m_definition.model.selector ? m_definition.model.selector->id : 0;
    const uint8_t before = m_clocks.SelectorInput();
    if (selector == 0 || !m_clocks.SelectInput(input)) return false;
    if (before == input) return true;
    m_settle.Changed(m_lastSeen);
    queued = QueueStatus(selector, usb_const::kClockSelectorControl);
  }
  if (queued) NotifyDataReady(m_statusEndpoint);
  return true;
}

void AudioDevice::SetDriftPpm(int32_t driftPpm) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_driftPpm = ClampDrift(driftPpm);
}

bool AudioDevice::SetClockDriftPpm(uint8_t clockId, int32_t driftPpm) {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_clocks.SetDrift(clockId, ClampDrift(driftPpm));
}

uint64_t AudioDevice::SettleMutedPackets() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_settle.MutedPackets();
}

void AudioDevice::SofOffsetChanged(int32_t ppm) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_sofOffsetPpm = ppm;
}

uint8_t AudioDevice::PathFeatureUnit(StreamDirection direction) const {
  return direction == StreamDirection::Render ? m_renderUnit : m_captureUnit;
}

bool AudioDevice::SetFeatureMute(uint8_t unit, uint8_t channel, bool mute) {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (!m_features.SetMute(unit, channel, mute)) return false;
  UpdateGains();
  return true;
}

bool AudioDevice::SetFeatureVolume(uint8_t unit, uint8_t channel, int16_t volume) {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (!m_features.SetVolume(unit, channel, volume)) return false;
  UpdateGains();
  return true;
}

void AudioDevice::AdvanceClockTo(uint64_t microframe) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_engine.AdvanceTo(microframe, Clock());
}

RenderStats AudioDevice::Render() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_engine.Render().Stats();
}

void AudioDevice::SetPlayedSink(PlayedSink sink) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_engine.SetPlayedSink(std::move(sink));
}

OutputFrames AudioDevice::RecentOutput(uint32_t frames) const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_engine.RecentOutput(frames);
}

void AudioDevice::SetOutputHistoryFrames(uint32_t frames) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_engine.SetHistoryFrames(frames);
}

CaptureStats AudioDevice::Capture() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_engine.Capture().Stats();
}

void AudioDevice::SetCaptureSource(uint32_t channel, CaptureSource source) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_engine.Capture().SetSource(channel, std::move(source));
}

void AudioDevice::SetCaptureSources(CaptureSource source) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_engine.Capture().SetAllSources(std::move(source));
}

void AudioDevice::InjectMidi(std::span<const MidiPacket> packets) {
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_midiInEndpoint == 0) return;
    m_midi.Inject(packets);
  }
  NotifyDataReady(m_midiInEndpoint);
}

std::vector<MidiPacket> AudioDevice::MidiReceived(uint8_t cable) const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_midi.Received(cable);
}

void AudioDevice::InjectMidiBytes(uint8_t cable, std::span<const uint8_t> bytes) {
  InjectMidi(PackMidiBytes(cable, bytes));
}

std::vector<uint8_t> AudioDevice::MidiReceivedBytes(uint8_t cable) const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_midi.ReceivedBytes(cable);
}

void AudioDevice::SetMidiLoopback(bool on) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_midi.SetLoopback(on);
}

// Released: the host controller retries the parked OUT transfers.
void AudioDevice::HoldMidiOut(bool held) {
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_midi.SetOutHeld(held);
  }
  if (!held && m_midiOutEndpoint != 0) NotifyDataReady(m_midiOutEndpoint);
}

MidiStats AudioDevice::Midi() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_midi.Stats();
}

StatusStats AudioDevice::Status() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return StatusStats{m_status.Pending(), m_status.Sent(), m_status.Overflowed()};
}

void AudioDevice::EditFaults(const std::function<void(FaultKnobs &)> &edit) {
  std::lock_guard<std::mutex> guard(m_mutex);
  edit(m_faults.Knobs());
  m_faults.Rearm();
}

FaultCounts AudioDevice::Faults() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_faults.Counts();
}

void AudioDevice::SetVendorHandler(VendorHandler handler) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_vendor = std::move(handler);
}

std::shared_ptr<AudioDevice> PluggedAudioDevice(const Machine &machine, const usb::UsbDeviceHandle &handle) {
  usb::UsbBus *bus = handle.Valid() ? machine.Bus(handle.bus) : nullptr;
  return bus != nullptr ? std::dynamic_pointer_cast<AudioDevice>(bus->Controller().DeviceAt(handle.port)) : nullptr;
}

}  // namespace winsim::devices
