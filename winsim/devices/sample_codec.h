// Audio samples on the wire: each sample fills a subslot of 1 to 4 bytes,
// little-endian, the significant bits at the top. Inside the device a sample
// is an int32 left-justified the same way, so 16-bit 0x1234 is 0x12340000.
#pragma once
#include <cstdint>

namespace winsim::devices {

inline constexpr uint32_t kMaxSubslotBytes = 4;

// `subslot` must be 1..4; the bytes are sign-extended from the top.
int32_t DecodeSample(const uint8_t *bytes, uint32_t subslot);
// Writes the top `subslot` bytes of `value`.
void EncodeSample(int32_t value, uint8_t *bytes, uint32_t subslot);

}  // namespace winsim::devices
