// Small helpers for answering requests on the default pipe.
#pragma once
#include <algorithm>
#include <cstdint>
#include <span>

#include "winsim/usb/usb_function.h"

namespace winsim::devices {

inline constexpr uint8_t kRequestTypeMask = 0x60;
inline constexpr uint8_t kRequestTypeStandard = 0x00;
inline constexpr uint8_t kRequestTypeClass = 0x20;
inline constexpr uint8_t kRequestTypeVendor = 0x40;
inline constexpr uint8_t kRecipientMask = 0x1F;
inline constexpr uint8_t kRecipientDevice = 0x00;
inline constexpr uint8_t kRecipientInterface = 0x01;
inline constexpr uint8_t kRecipientEndpoint = 0x02;

inline bool DeviceToHost(const usb::SetupPacket &setup) { return (setup.bmRequestType & usb::kRequestDirectionIn) != 0; }
inline uint8_t RequestType(const usb::SetupPacket &setup) { return setup.bmRequestType & kRequestTypeMask; }
inline uint8_t Recipient(const usb::SetupPacket &setup) { return setup.bmRequestType & kRecipientMask; }

inline usb::TransferOutcome Stall() { return {usb::Handshake::Stall, 0, 0}; }
inline usb::TransferOutcome Ack(uint32_t length = 0) { return {usb::Handshake::Ack, length, 0}; }

// Returns as much of `payload` as wLength asks for; the host decides how
// much it reads (a short first read of a RANGE block, for instance).
inline usb::TransferOutcome AnswerIn(const usb::SetupPacket &setup, uint8_t *data, std::span<const uint8_t> payload) {
  const size_t length = std::min<size_t>(setup.wLength, payload.size());
  if (length != 0 && data == nullptr) return Stall();
  std::copy_n(payload.begin(), length, data);
  return Ack(static_cast<uint32_t>(length));
}

}  // namespace winsim::devices
