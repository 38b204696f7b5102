// The AudioControl interface's status interrupt endpoint: a queue of
// USB Audio Class 2.0 interrupt messages, each returned by one interrupt IN
// transaction.
#pragma once
#include <array>
#include <cstdint>
#include <deque>

#include "winsim/usb/usb_function.h"

namespace winsim::devices {

// bInfo, bAttribute, wValue (control selector << 8 | channel), wIndex
// (entity << 8 | interface), little-endian.
using InterruptMessage = std::array<uint8_t, 6>;

inline constexpr uint8_t kInterruptAttributeCur = 0x01;

// The CUR value of control `selector` (channel 0) of `entity` changed.
InterruptMessage ControlChanged(uint8_t entity, uint8_t selector, uint8_t controlInterface);
InterruptMessage ClockValidityChanged(uint8_t clockId, uint8_t controlInterface);

class StatusInterruptQueue {
 public:
  // The oldest message is dropped when the queue is full.
  void Push(const InterruptMessage &message);
  // Nak when empty; a message larger than the room is babble (Error) and
  // stays queued.
  usb::TransferOutcome Pop(uint8_t *buffer, uint32_t capacity);

  size_t Pending() const { return m_queue.size(); }
  uint64_t Sent() const { return m_sent; }
  uint64_t Overflowed() const { return m_overflowed; }

 private:
  static constexpr size_t kMaxQueued = 64;

  std::deque<InterruptMessage> m_queue;
  uint64_t m_sent = 0;
  uint64_t m_overflowed = 0;
};

}  // namespace winsim::devices
