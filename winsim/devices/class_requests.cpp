#include "winsim/devices/class_requests.h"

#include "winsim/devices/byte_io.h"
#include "winsim/devices/clock_payloads.h"
#include "winsim/devices/control_reply.h"

namespace winsim::devices {
namespace {

using namespace usb_const;
using usb::SetupPacket;
using usb::TransferOutcome;

class AudioControlRequests {
 public:
  AudioControlRequests(const SetupPacket &setup, uint8_t *data, ClassContext &context)
      : m_setup(setup),
        m_data(data),
        m_context(context),
        m_entity(static_cast<uint8_t>(setup.wIndex >> 8)),
        m_selector(static_cast<uint8_t>(setup.wValue >> 8)),
        m_channel(static_cast<uint8_t>(setup.wValue & 0xFF)) {}

  TransferOutcome Run() {
    const InterfaceInfo *control = m_context.layout.AudioControl();
    if (!m_context.state.Configured() || control == nullptr || (m_setup.wIndex & 0xFF) != control->number) {
      return Stall();
    }
    if (m_context.clocks.IsClockSource(m_entity)) return ClockSource();
    if (m_context.clocks.IsSelector(m_entity)) return ClockSelector();
    if (m_context.features.IsUnit(m_entity)) return FeatureUnit();
    return Stall();
  }

 private:
  bool In() const { return DeviceToHost(m_setup); }
  bool Cur() const { return m_setup.bRequest == kRequestCur; }
  bool Range() const { return m_setup.bRequest == kRequestRange; }
  TransferOutcome Answer(std::span<const uint8_t> payload) const { return AnswerIn(m_setup, m_data, payload); }
  // A SET carries exactly the control's parameter block.
  bool Carries(uint16_t length) const { return m_setup.wLength == length && m_data != nullptr; }

  TransferOutcome ClockSource() {
    if (m_channel != 0) return Stall();
    if (m_selector == kClockSamplingFrequencyControl) return SamplingFrequency();
    if (m_selector == kClockValidityControl && In() && Cur()) {
      const bool valid = m_context.clocks.Valid(m_entity) && m_entity != m_context.settlingClock;
      const uint8_t answer[1] = {static_cast<uint8_t>(valid ? 1 : 0)};
      return Answer(answer);
    }
    return Stall();
  }

  TransferOutcome SamplingFrequency() {
    ClockTree &clocks = m_context.clocks;
    if (In() && Cur()) return Answer(SamplingFrequencyCur(clocks.Rate(m_entity)));
    if (In() && Range()) return Answer(clocks.RangePayload(m_entity));
    if (!In() && Cur() && Carries(4) && clocks.SetRate(m_entity, ReadU32({m_data, 4}, 0))) return Ack();
    return Stall();
  }

  TransferOutcome ClockSelector() {
    if (m_selector != kClockSelectorControl || m_channel != 0 || !Cur()) return Stall();
    if (In()) {
      const uint8_t input[1] = {m_context.clocks.SelectorInput()};
      return Answer(input);
    }
    return Carries(1) && m_context.clocks.SelectInput(m_data[0]) ? Ack() : Stall();
  }

  TransferOutcome FeatureUnit() {
    const ControlAccess access = m_context.features.Access(m_entity, m_channel, m_selector);
    if (access == ControlAccess::None) return Stall();
    if (!In() && (access != ControlAccess::ReadWrite || !Cur())) return Stall();
    if (m_selector == kFeatureMuteControl && Cur()) return Mute();
    if (m_selector == kFeatureVolumeControl) return Volume();
    return Stall();
  }

  TransferOutcome Mute() {
    FeatureUnits &units = m_context.features;
    if (In()) {
      const uint8_t mute[1] = {static_cast<uint8_t>(units.Mute(m_entity, m_channel).value_or(false) ? 1 : 0)};
      return Answer(mute);
    }
    return Carries(1) && m_data[0] <= 1 && units.SetMute(m_entity, m_channel, m_data[0] != 0) ? Ack() : Stall();
  }

  TransferOutcome Volume() {
    FeatureUnits &units = m_context.features;
    ByteWriter w;
    if (In() && Range()) {
      w.U16(1);
      w.U16(static_cast<uint16_t>(kVolumeMin));
      w.U16(static_cast<uint16_t>(kVolumeMax));
      w.U16(static_cast<uint16_t>(kVolumeResolution));
      return Answer(w.Bytes());
    }
    if (In()) {
      w.U16(static_cast<uint16_t>(units.Volume(m_entity, m_channel).value_or(0)));
      return Answer(w.Bytes());
    }
    if (!Carries(2)) return Stall();
    const auto volume = static_cast<int16_t>(ReadU16({m_data, 2}, 0));
    return units.SetVolume(m_entity, m_channel, volume) ? Ack() : Stall();
  }

  const SetupPacket &m_setup;
  uint8_t *m_data;
  ClassContext &m_context;
  const uint8_t m_entity;
  const uint8_t m_selector;
  const uint8_t m_channel;
};

}  // namespace

TransferOutcome HandleAudioControlRequest(const SetupPacket &setup, uint8_t *data, ClassContext &context) {
  return AudioControlRequests(setup, data, context).Run();
}

}  // namespace winsim::devices
