#include "winsim/devices/sample_codec.h"

namespace winsim::devices {

int32_t DecodeSample(const uint8_t *bytes, uint32_t subslot) {
  uint32_t word = 0;
  for (uint32_t i = 0; i < subslot; ++i) word |= static_cast<uint32_t>(bytes[i]) << (8 * (kMaxSubslotBytes - subslot + i));
  return static_cast<int32_t>(word);
}

void EncodeSample(int32_t value, uint8_t *bytes, uint32_t subslot) {
  const uint32_t word = static_cast<uint32_t>(value);
  for (uint32_t i = 0; i < subslot; ++i) {
    bytes[i] = static_cast<uint8_t>(word >> (8 * (kMaxSubslotBytes - subslot + i)));
  }
}

}  // namespace winsim::devices
