#include "winsim/devices/status_interrupt.h"

#include <algorithm>

#include "winsim/devices/usb_constants.h"

namespace winsim::devices {

InterruptMessage ControlChanged(uint8_t entity, uint8_t selector, uint8_t controlInterface) {
  return InterruptMessage{0x00, kInterruptAttributeCur, 0x00, selector, controlInterface, entity};
}

InterruptMessage ClockValidityChanged(uint8_t clockId, uint8_t controlInterface) {
  return ControlChanged(clockId, usb_const::kClockValidityControl, controlInterface);
}

void StatusInterruptQueue::Push(const InterruptMessage &message) {
  if (m_queue.size() == kMaxQueued) {
    m_queue.pop_front();
    ++m_overflowed;
  }
  m_queue.push_back(message);
}

usb::TransferOutcome StatusInterruptQueue::Pop(uint8_t *buffer, uint32_t capacity) {
  if (m_queue.empty()) return {usb::Handshake::Nak, 0, 0};
  const InterruptMessage &message = m_queue.front();
  if (capacity < message.size()) return {usb::Handshake::Error, 0, 0};
  std::copy(message.begin(), message.end(), buffer);
  m_queue.pop_front();
  ++m_sent;
  return {usb::Handshake::Ack, static_cast<uint32_t>(message.size()), 0};
}

}  // namespace winsim::devices
