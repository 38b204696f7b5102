// When a host controller reads isochronous OUT data, and what it does with a
// transfer whose start frame has already gone by.
//
// A real controller does not read an OUT packet in its microframe: an xHCI
// controller walks its transfer ring ahead of the bus and caches about a
// frame of data (the isochronous scheduling threshold), and a stack that
// bounces DMA through its own buffers copies the whole transfer when it is
// submitted. Whatever the submitter writes into the buffer after that point
// never goes over the bus; the controller counts such packets per pipe.
#pragma once
#include <cstdint>

namespace winsim::usb {

enum class OutFetch : uint8_t {
  AtMicroframe,  // read as the packet goes over the bus (an idealised controller)
  Ahead,         // read at the start of the frame that begins aheadMicroframes before the packet's
  AtSubmission,  // copied into a bounce buffer when the transfer is submitted
};

// One frame: packets of frame F are read at the start of frame F - 1.
inline constexpr uint32_t kDefaultFetchAheadMicroframes = 8;
inline constexpr uint32_t kMaxFetchAheadMicroframes = 64;

struct OutFetchCounts {
  uint64_t packets = 0;            // OUT packets with data that went over the bus
  uint64_t writtenAfterFetch = 0;  // ... whose bytes had changed since the fetch (sent stale)
};

enum class LateStart : uint8_t {
  // Refused at submission with USBD_STATUS_BAD_START_FRAME (the older stacks'
  // behaviour, and what this controller did at first).
  Refuse,
  // Accepted: packets whose microframes are already behind the scheduling
  // threshold are not sent and report USBD_STATUS_ISO_NOT_ACCESSED_LATE; the
  // rest go over the bus. A transfer late in every packet completes with
  // USBD_STATUS_BAD_START_FRAME. Start frames further than
  // USBD_ISO_START_FRAME_RANGE from the current frame are still refused.
  NotAccessed,
};

}  // namespace winsim::usb
