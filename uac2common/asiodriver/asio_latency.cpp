#include "uac2common/asiodriver/asio_latency.h"

namespace qavasio {
namespace {

uint64_t CeilDiv(uint64_t value, uint64_t divisor) { return (value + divisor - 1) / divisor; }

struct ModelOffsetEntry {
  uint16_t productId;
  uint32_t offset;
};

// Measured round trips of the family's models, halved per direction.
constexpr ModelOffsetEntry kModelOffsets[] = {
    {0x8000, 40},   // Alder
    {0x8012, 40},   // Maple
    {0x800C, 138},  // Birch
    {0x8014, 138},  // Larch
    {0x8002, 121},  // Rowan
    {0x8004, 121},  // Cedar
};

constexpr uint32_t kUnknownModelOffset = 59;

}  // namespace

uint32_t ModelOffset(uint16_t vendorId, uint16_t productId) {
  if (vendorId != kFamilyVendorId) return kUnknownModelOffset;
  for (const ModelOffsetEntry &entry : kModelOffsets) {
    if (entry.productId == productId) return entry.offset;
  }
  return kUnknownModelOffset;
}

uint64_t TotalLatency(uint32_t rate, uint32_t bufferSize, uint32_t urbSizeMs, uint32_t modelOffset) {
  const uint64_t r = rate == 0 ? 44100 : rate;
  const uint64_t b = bufferSize;
  const uint64_t usb = CeilDiv(uint64_t{urbSizeMs} * r, 1000);
  const uint64_t converters = CeilDiv(2 * r, 1000);
  uint64_t total = usb + converters + 2 * uint64_t{modelOffset};
  if (b != 0) {
    const uint64_t urbsPerBuffer = CeilDiv(3 * usb, b);
    const uint64_t inFlight = urbsPerBuffer <= 2 ? 2 : urbsPerBuffer;
    total += (inFlight + 1) * b;
  }
  return total;
}

uint32_t DirectionLatency(uint64_t total) { return static_cast<uint32_t>(CeilDiv(total, 2)); }

uint32_t RequestSetCount(uint32_t framesPerPacket, uint32_t bufferSize) {
  if (bufferSize == 0) return 2;
  const uint64_t sets = CeilDiv(3 * uint64_t{framesPerPacket}, bufferSize);
  return sets <= 2 ? 2 : static_cast<uint32_t>(sets);
}

}  // namespace qavasio
