#include "winsim/devices/audio_device.h"

#include <algorithm>
#include <cstdio>

#include "winsim/devices/class_requests.h"
#include "winsim/devices/control_reply.h"
#include "winsim/devices/standard_requests.h"

namespace winsim::devices {
namespace {

using usb::Handshake;
using usb::TransferOutcome;

// The bytes of a damaged packet (FaultKnobs::garbleIsoInEvery): neither
// silence nor any sample a ramp or a sine would give.
constexpr uint8_t kGarbleByte = 0x5A;

TransferOutcome NoReply() { return {Handshake::NoReply, 0, 0}; }

uint8_t MidiCables(const DeviceModel &model) { return model.midi ? model.midi->cables : 0; }

}  // namespace

AudioDevice::AudioDevice(DeviceDefinition definition)
    : m_definition(std::move(definition)),
      m_layout(ReadInterfaceLayout(m_definition.descriptors.configuration, m_definition.model.speed)),
      m_renderUnit(StreamFeatureUnit(m_definition.model, StreamDirection::Render)),
      m_captureUnit(StreamFeatureUnit(m_definition.model, StreamDirection::Capture)),
      m_state(m_layout),
      m_clocks(m_definition.model),
      m_settle(m_definition.model.behaviour.clockSettleMicroseconds, m_definition.model.behaviour.clockSettleEffect),
      m_features(m_definition.model),
      m_engine(m_definition.model.behaviour, m_definition.model.speed),
      m_midi(MidiCables(m_definition.model)),
      m_driftPpm(ClampDrift(m_definition.model.behaviour.clockDriftPpm)) {
  FindEndpoints();
  UpdateGains();
}

// Called whenever mute or volume may have changed; covers every channel a
// cluster can have, so alternate settings of any width find their gains.
void AudioDevice::UpdateGains() {
  constexpr uint32_t kMaxClusterChannels = 255;
  m_engine.SetGains(GainsOf(m_features, m_renderUnit, kMaxClusterChannels),
                    GainsOf(m_features, m_captureUnit, kMaxClusterChannels));
}

// The status interrupt endpoint of the AudioControl interface and the bulk
// endpoints of the MIDI streaming interface, as the descriptors declare them.
void AudioDevice::FindEndpoints() {
  for (const InterfaceInfo &itf : m_layout.interfaces) {
    const AltSetting *alt = itf.Alternate(0);
    if (alt == nullptr || itf.cls != usb_const::kClassAudio) continue;
    for (const EndpointInfo &endpoint : alt->endpoints) {
      if (itf.AudioControl() && endpoint.Transfer() == usb_const::kXferInterrupt && endpoint.In()) {
        m_statusEndpoint = endpoint.address;
      }
      if (itf.subclass == usb_const::kSubclassMidiStreaming && endpoint.Transfer() == usb_const::kXferBulk) {
        (endpoint.In() ? m_midiInEndpoint : m_midiOutEndpoint) = endpoint.address;
      }
    }
  }
}

usb::BusSpeed AudioDevice::Speed() const {
  return m_definition.model.speed == UsbSpeed::High ? usb::BusSpeed::High : usb::BusSpeed::Full;
}

std::string AudioDevice::Label() const {
  char ids[16];
  std::snprintf(ids, sizeof ids, "%04X:%04X", m_definition.model.vendorId, m_definition.model.productId);
  return m_definition.model.name + " " + ids;
}

// The crystal's drift is against the system clock; counted in bus
// microframes it is (1 + drift) / (1 + SOF offset) - 1, rounded.
ClockParams AudioDevice::Clock() const {
  constexpr int64_t kScale = 1'000'000;
  const int64_t numerator = (kScale + m_clocks.ActiveDrift(m_driftPpm)) * kScale;
  const int64_t denominator = kScale + m_sofOffsetPpm;
  const int64_t onBus = (numerator + denominator / 2) / denominator - kScale;
  return ClockParams{m_clocks.ActiveRate(), ClampDrift(static_cast<int32_t>(onBus))};
}

TransferOutcome AudioDevice::Control(const usb::SetupPacket &setup, uint8_t *data, usb::VTime now) {
  VendorHandler vendor;
  TransferOutcome outcome = Stall();
  bool notify = false;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_lastSeen = std::max(m_lastSeen, now);
    m_settle.Seen(now);
    if (auto fault = m_faults.OnControl(setup)) return {*fault, 0, 0};
    if (RequestType(setup) == kRequestTypeVendor) {
      vendor = m_vendor;
    } else {
      outcome = ControlLocked(setup, data, now);
    }
    notify = ReportSettledLocked();
  }
  if (notify) NotifyDataReady(m_statusEndpoint);
  if (RequestType(setup) != kRequestTypeVendor) return outcome;
  return vendor ? vendor(setup, data) : Stall();
}

void AudioDevice::ControlEnded(const usb::SetupPacket &, usb::VTime end) {
  std::lock_guard<std::mutex> guard(m_mutex);
  if (!m_settleAwaitsRequestEnd) return;
  m_settleAwaitsRequestEnd = false;
  m_settle.Changed(end);
}

// A settle the host saw as an invalid clock has ended: the clock's validity
// changed, and the host hears of it.
bool AudioDevice::ReportSettledLocked() {
  if (!m_settle.TakeSettled()) return false;
  return QueueStatus(m_clocks.ActiveClock(), usb_const::kClockValidityControl);
}

TransferOutcome AudioDevice::ControlLocked(const usb::SetupPacket &setup, uint8_t *data, usb::VTime now) {
  if (setup.wLength != 0 && data == nullptr) return Stall();
  if (RequestType(setup) == kRequestTypeStandard) {
    StandardContext context{m_definition.descriptors, m_layout, m_state, m_faults};
    StandardEffect effect;
    const TransferOutcome outcome = HandleStandardRequest(setup, data, context, effect);
    Apply(effect);
    return outcome;
  }
  if (RequestType(setup) == kRequestTypeClass && Recipient(setup) == kRecipientInterface) {
    return ClassRequest(setup, data, now);
  }
  return Stall();
}

// A request that changes the rate or the source the streams run from
// starts the clock's settle.
TransferOutcome AudioDevice::ClassRequest(const usb::SetupPacket &setup, uint8_t *data, usb::VTime now) {
  const uint8_t clockBefore = m_clocks.ActiveClock();
  const uint32_t rateBefore = m_clocks.ActiveRate();
  const bool validityRead = DeviceToHost(setup) && setup.bRequest == usb_const::kRequestCur &&
                            setup.wValue >> 8 == usb_const::kClockValidityControl && setup.wIndex >> 8 == clockBefore;
  const uint8_t settling = validityRead && m_settle.ReadInvalid(now) ? clockBefore : 0;
  ClassContext context{m_layout, m_state, m_clocks, m_features, settling};
  const TransferOutcome outcome = HandleAudioControlRequest(setup, data, context);
  if (m_clocks.ActiveClock() != clockBefore || m_clocks.ActiveRate() != rateBefore) {
    m_settle.Changed(now);
    m_settleAwaitsRequestEnd = m_settle.Settling();
  }
  UpdateGains();
  return outcome;
}

bool AudioDevice::MutedBySettle(uint8_t endpoint, uint64_t microframe) {
  const EndpointInfo *active = m_state.ActiveEndpoint(endpoint);
  return active != nullptr && active->IsoData() && m_settle.DataPacket(microframe);
}

void AudioDevice::Apply(const StandardEffect &effect) {
  switch (effect.kind) {
    case StandardEffect::Kind::None: return;
    case StandardEffect::Kind::Configured:
    case StandardEffect::Kind::Deconfigured: m_engine.StopAll(); return;
    case StandardEffect::Kind::AlternateSelected: {
      const InterfaceInfo *itf = m_layout.Find(effect.interface);
      const AltSetting *alt = itf ? itf->Alternate(effect.alternate) : nullptr;
      if (alt != nullptr && itf->AudioStreaming()) m_engine.Select(itf->number, *alt);
      return;
    }
  }
}

TransferOutcome AudioDevice::IsoOut(uint8_t endpoint, uint64_t microframe, const uint8_t *data, uint32_t length) {
  TransferOutcome outcome;
  bool notify = false;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    outcome = IsoOutLocked(endpoint, microframe, data, length);
    notify = ReportSettledLocked();
  }
  if (notify) NotifyDataReady(m_statusEndpoint);
  return outcome;
}

TransferOutcome AudioDevice::IsoIn(uint8_t endpoint, uint64_t microframe, uint8_t *buffer, uint32_t capacity) {
  TransferOutcome outcome;
  bool notify = false;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    outcome = IsoInLocked(endpoint, microframe, buffer, capacity);
    notify = ReportSettledLocked();
  }
  if (notify) NotifyDataReady(m_statusEndpoint);
  return outcome;
}

TransferOutcome AudioDevice::IsoOutLocked(uint8_t endpoint, uint64_t microframe, const uint8_t *data,
                                          uint32_t length) {
  if (m_state.ActiveEndpoint(endpoint) == nullptr) return NoReply();
  if (m_faults.DropIso(endpoint, microframe)) {
    m_engine.Lose(endpoint, microframe, Clock());
    return {Handshake::Error, 0, 0};
  }
  if (MutedBySettle(endpoint, microframe)) {
    m_engine.Lose(endpoint, microframe, Clock());
    return {Handshake::Ack, length, 0};
  }
  return m_engine.IsoOut(endpoint, microframe, data, length, Clock());
}

TransferOutcome AudioDevice::IsoInLocked(uint8_t endpoint, uint64_t microframe, uint8_t *buffer, uint32_t capacity) {
  const EndpointInfo *active = m_state.ActiveEndpoint(endpoint);
  if (active == nullptr) return NoReply();
  if (m_faults.DropIso(endpoint, microframe)) {
    m_engine.Lose(endpoint, microframe, Clock());
    return {Handshake::Error, 0, 0};
  }
  if (MutedBySettle(endpoint, microframe)) {
    m_engine.Lose(endpoint, microframe, Clock());
    return {Handshake::Ack, 0, 0};
  }
  const TransferOutcome outcome = m_engine.IsoIn(endpoint, microframe, buffer, capacity, Clock());
  if (!active->IsoData() || !m_faults.GarbleIsoIn(endpoint)) return outcome;
  // The samples were taken from the clock all the same; what arrives is noise.
  std::fill(buffer, buffer + capacity, kGarbleByte);
  return {Handshake::Error, capacity, 0};
}

TransferOutcome AudioDevice::BulkOrInterruptIn(uint8_t endpoint, usb::VTime now, uint8_t *buffer, uint32_t capacity) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_lastSeen = std::max(m_lastSeen, now);
  m_settle.Seen(now);
  ReportSettledLocked();
  if (endpoint == 0 || m_state.ActiveEndpoint(endpoint) == nullptr) return NoReply();
  if (endpoint == m_statusEndpoint) return m_status.Pop(buffer, capacity);
  if (endpoint == m_midiInEndpoint) return m_midi.Send(buffer, capacity);
  return NoReply();
}

TransferOutcome AudioDevice::BulkOrInterruptOut(uint8_t endpoint, usb::VTime, const uint8_t *data, uint32_t length) {
  uint64_t queuedIn = 0;
  TransferOutcome outcome = NoReply();
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (endpoint == 0 || m_state.ActiveEndpoint(endpoint) == nullptr) return NoReply();
    if (endpoint != m_midiOutEndpoint) return NoReply();
    const uint64_t before = m_midi.Stats().pendingIn;
    outcome = m_midi.Receive(data, length);
    queuedIn = m_midi.Stats().pendingIn - before;
  }
  // Looped back: the IN endpoint that NAKed has packets now.
  if (queuedIn != 0 && m_midiInEndpoint != 0) NotifyDataReady(m_midiInEndpoint);
  return outcome;
}

void AudioDevice::BusReset(usb::VTime) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_state.Deconfigure();
  m_engine.StopAll();
  m_settle.Clear();
  m_settleAwaitsRequestEnd = false;
}

void AudioDevice::PowerLoss(usb::VTime) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_state.Deconfigure();
  m_engine.StopAll();
  m_clocks = ClockTree(m_definition.model);
  m_settle.Clear();
  m_settleAwaitsRequestEnd = false;
  m_features = FeatureUnits(m_definition.model);
  UpdateGains();
  ++m_powerLosses;
}

uint32_t AudioDevice::PowerLosses() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_powerLosses;
}

}  // namespace winsim::devices
