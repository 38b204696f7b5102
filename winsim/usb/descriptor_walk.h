// A bounded walk over a run of USB descriptors, for the USB stack's own
// parsing of configuration descriptors that come from devices or drivers and
// so cannot be trusted: every descriptor handed out lies wholly inside the
// run, and a zero, one-byte or overlong bLength ends the walk.
#pragma once
#include <usb_chapter9.h>

#include <cstddef>
#include <cstdint>

namespace winsim::usb {

class DescriptorWalk {
 public:
  DescriptorWalk(const uint8_t *begin, size_t length, size_t startOffset = 0)
      : m_begin(begin), m_length(length), m_offset(startOffset) {}

  // The next descriptor, or null at the end of the run or at a malformed one
  // (after which the walk stays ended).
  const USB_COMMON_DESCRIPTOR *Next() {
    if (m_begin == nullptr || m_offset + sizeof(USB_COMMON_DESCRIPTOR) > m_length) return End();
    const auto *descriptor = reinterpret_cast<const USB_COMMON_DESCRIPTOR *>(m_begin + m_offset);
    if (descriptor->bLength < sizeof(USB_COMMON_DESCRIPTOR) || descriptor->bLength > m_length - m_offset) {
      return End();
    }
    m_offset += descriptor->bLength;
    return descriptor;
  }

  // Offset of the descriptor Next returns next.
  size_t Offset() const { return m_offset; }

 private:
  const USB_COMMON_DESCRIPTOR *End() {
    m_offset = m_length;
    return nullptr;
  }

  const uint8_t *m_begin;
  size_t m_length;
  size_t m_offset;
};

// wTotalLength of a configuration descriptor that at least has its 9-byte
// header; 0 otherwise.
inline uint16_t ConfigurationTotalLength(const uint8_t *configuration, size_t available) {
  if (configuration == nullptr || available < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return 0;
  const auto *header = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR *>(configuration);
  if (header->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
      header->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
      header->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    return 0;
  }
  return header->wTotalLength;
}

}  // namespace winsim::usb
