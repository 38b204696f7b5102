#include "winsim/devices/device_faults.h"

namespace winsim::devices {
namespace {

constexpr uint8_t kRequestTypeMask = 0x60;
constexpr uint8_t kRequestTypeStandard = 0x00;
constexpr uint8_t kRequestTypeClass = 0x20;

}  // namespace

RequestPredicate MatchStandardRequest(uint8_t bRequest) {
  return [bRequest](const usb::SetupPacket &setup) {
    return (setup.bmRequestType & kRequestTypeMask) == kRequestTypeStandard && setup.bRequest == bRequest;
  };
}

RequestPredicate MatchEntityControl(uint8_t entity, uint8_t controlSelector) {
  return [entity, controlSelector](const usb::SetupPacket &setup) {
    return (setup.bmRequestType & kRequestTypeMask) == kRequestTypeClass && (setup.wIndex >> 8) == entity &&
           (setup.wValue >> 8) == controlSelector;
  };
}

std::optional<usb::Handshake> FaultInjector::OnControl(const usb::SetupPacket &setup) {
  if (m_knobs.noReplyNext > 0) {
    --m_knobs.noReplyNext;
    ++m_counts.noReplies;
    return usb::Handshake::NoReply;
  }
  if (m_knobs.errorNext > 0) {
    --m_knobs.errorNext;
    ++m_counts.errors;
    return usb::Handshake::Error;
  }
  if (m_knobs.neverFinishWhen && m_knobs.neverFinishWhen(setup)) {
    ++m_counts.neverFinished;
    return usb::Handshake::Nak;
  }
  if (m_knobs.stallWhen && m_knobs.stallWhen(setup)) {
    ++m_counts.stalled;
    return usb::Handshake::Stall;
  }
  return std::nullopt;
}

bool FaultInjector::RefuseSetInterface() {
  if (m_knobs.refuseSetInterfaceNext == 0) return false;
  --m_knobs.refuseSetInterfaceNext;
  ++m_counts.setInterfaceRefusals;
  return true;
}

bool FaultInjector::DropIso(uint8_t endpoint, uint64_t microframe) {
  if (m_knobs.dropEndpoint != 0 && m_knobs.dropEndpoint != endpoint) return false;
  const bool every = m_knobs.dropIsoEvery != 0 && ++m_isoSeen % m_knobs.dropIsoEvery == 0;
  const bool inRange = microframe >= m_knobs.dropFromMicroframe && microframe < m_knobs.dropUntilMicroframe;
  if (!every && !inRange) return false;
  ++m_counts.isoDropped;
  return true;
}

bool FaultInjector::GarbleIsoIn(uint8_t endpoint) {
  if (m_knobs.garbleIsoInEvery == 0) return false;
  if (m_knobs.garbleEndpoint != 0 && m_knobs.garbleEndpoint != endpoint) return false;
  if (++m_isoInSeen % m_knobs.garbleIsoInEvery != 0) return false;
  ++m_counts.isoGarbled;
  return true;
}

std::vector<uint8_t> FaultInjector::Configuration(std::span<const uint8_t> good) {
  if (m_knobs.corruptConfiguration) {
    auto bad = CorruptConfiguration(good, *m_knobs.corruptConfiguration, m_knobs.corruptionTarget);
    if (bad) {
      ++m_counts.corruptConfigurationsServed;
      return std::move(*bad);
    }
  }
  return std::vector<uint8_t>(good.begin(), good.end());
}

}  // namespace winsim::devices
