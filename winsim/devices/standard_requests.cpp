#include "winsim/devices/standard_requests.h"

#include "winsim/devices/control_reply.h"
#include "winsim/devices/string_descriptors.h"

namespace winsim::devices {
namespace {

using namespace usb_const;
using usb::SetupPacket;
using usb::TransferOutcome;

enum : uint8_t {
  kGetStatus = 0x00,
  kClearFeature = 0x01,
  kSetAddress = 0x05,
  kGetDescriptor = 0x06,
  kGetConfiguration = 0x08,
  kSetConfiguration = 0x09,
  kGetInterface = 0x0A,
  kSetInterface = 0x0B,
};

constexpr uint16_t kFeatureEndpointHalt = 0;
constexpr uint16_t kFeatureRemoteWakeup = 1;
constexpr uint8_t kEndpointNumberMask = 0x0F;
const uint8_t kZeroStatus[2] = {0, 0};

class StandardRequests {
 public:
  StandardRequests(const SetupPacket &setup, uint8_t *data, StandardContext &context, StandardEffect &effect)
      : m_setup(setup), m_data(data), m_context(context), m_effect(effect) {}

  TransferOutcome Run() {
    switch (m_setup.bRequest) {
      case kGetStatus: return In() ? GetStatus() : Stall();
      case kClearFeature: return In() ? Stall() : ClearFeature();
      case kSetAddress: return !In() && Recipient(m_setup) == kRecipientDevice ? Ack() : Stall();
      case kGetDescriptor: return In() && Recipient(m_setup) == kRecipientDevice ? GetDescriptor() : Stall();
      case kGetConfiguration: return In() ? GetConfiguration() : Stall();
      case kSetConfiguration: return In() ? Stall() : SetConfiguration();
      case kGetInterface: return In() ? GetInterface() : Stall();
      case kSetInterface: return In() ? Stall() : SetInterface();
      default: return Stall();
    }
  }

 private:
  bool In() const { return DeviceToHost(m_setup); }
  uint8_t Low(uint16_t word) const { return static_cast<uint8_t>(word & 0xFF); }
  TransferOutcome Answer(std::span<const uint8_t> payload) const { return AnswerIn(m_setup, m_data, payload); }

  // The default pipe always exists; any other endpoint only in a selected setting.
  bool EndpointExists(uint8_t address) const {
    return (address & kEndpointNumberMask) == 0 || m_context.state.ActiveEndpoint(address) != nullptr;
  }

  const InterfaceInfo *ConfiguredInterface() const {
    return m_context.state.Configured() ? m_context.layout.Find(Low(m_setup.wIndex)) : nullptr;
  }

  TransferOutcome GetStatus() const {
    switch (Recipient(m_setup)) {
      case kRecipientDevice: return Answer(kZeroStatus);
      case kRecipientInterface: return ConfiguredInterface() ? Answer(kZeroStatus) : Stall();
      case kRecipientEndpoint: return EndpointExists(Low(m_setup.wIndex)) ? Answer(kZeroStatus) : Stall();
      default: return Stall();
    }
  }

  TransferOutcome ClearFeature() const {
    const uint8_t recipient = Recipient(m_setup);
    if (recipient == kRecipientDevice && m_setup.wValue == kFeatureRemoteWakeup) return Ack();
    if (recipient == kRecipientEndpoint && m_setup.wValue == kFeatureEndpointHalt && EndpointExists(Low(m_setup.wIndex))) {
      return Ack();
    }
    return Stall();
  }

  TransferOutcome GetDescriptor() const {
    const uint8_t type = static_cast<uint8_t>(m_setup.wValue >> 8);
    const uint8_t index = Low(m_setup.wValue);
    const DescriptorSet &descriptors = m_context.descriptors;
    switch (type) {
      case kDevice: return Answer(descriptors.device);
      case kConfiguration:
        return index == 0 ? Answer(m_context.faults.Configuration(descriptors.configuration)) : Stall();
      case kString: return GetString(index);
      default: return Stall();
    }
  }

  TransferOutcome GetString(uint8_t index) const {
    const std::vector<uint8_t> *string = m_context.descriptors.String(index);
    if (index == 0) {
      const uint16_t english[] = {kLangEnglishUs};
      return string ? Answer(*string) : Answer(MakeLanguageDescriptor(english));
    }
    if (m_setup.wIndex != kLangEnglishUs || string == nullptr) return Stall();
    return Answer(*string);
  }

  TransferOutcome GetConfiguration() const {
    const uint8_t value[1] = {m_context.state.Configuration()};
    return Recipient(m_setup) == kRecipientDevice ? Answer(value) : Stall();
  }

  TransferOutcome SetConfiguration() {
    const uint8_t value = Low(m_setup.wValue);
    if (Recipient(m_setup) != kRecipientDevice) return Stall();
    if (value == 0) {
      m_context.state.Deconfigure();
      m_effect.kind = StandardEffect::Kind::Deconfigured;
      return Ack();
    }
    if (value != m_context.layout.configurationValue) return Stall();
    m_context.state.Configure(value);
    m_effect.kind = StandardEffect::Kind::Configured;
    return Ack();
  }

  TransferOutcome GetInterface() const {
    const InterfaceInfo *itf = ConfiguredInterface();
    if (Recipient(m_setup) != kRecipientInterface || itf == nullptr) return Stall();
    const uint8_t value[1] = {m_context.state.Alternate(itf->number)};
    return Answer(value);
  }

  TransferOutcome SetInterface() {
    const InterfaceInfo *itf = ConfiguredInterface();
    if (Recipient(m_setup) != kRecipientInterface || itf == nullptr) return Stall();
    if (m_setup.wValue > 0xFF || itf->Alternate(Low(m_setup.wValue)) == nullptr) return Stall();
    if (m_context.faults.RefuseSetInterface()) return Stall();
    m_context.state.Select(itf->number, Low(m_setup.wValue));
    m_effect = StandardEffect{StandardEffect::Kind::AlternateSelected, itf->number, Low(m_setup.wValue)};
    return Ack();
  }

  const SetupPacket &m_setup;
  uint8_t *m_data;
  StandardContext &m_context;
  StandardEffect &m_effect;
};

}  // namespace

TransferOutcome HandleStandardRequest(const SetupPacket &setup, uint8_t *data, StandardContext &context,
                                      StandardEffect &effect) {
  return StandardRequests(setup, data, context, effect).Run();
}

}  // namespace winsim::devices
