// Moving samples between a client's frames and the device's USB subslots.
// The USB side carries little-endian, left-justified samples in 2-, 3- or
// 4-byte subslots; a client carries 16-bit samples (the upper half of a
// 32-bit value) or 32-bit containers. Both sides are read as the top of a
// 32-bit value, so a narrower side keeps the top bits of the wider one (a
// 2-byte subslot drops a 24-in-32 client's low bits: that is the device's
// resolution). Channels beyond the smaller of the two counts are left as
// they are on the receiving side.
//
// Render mixing adds into the device sample at 32 bits with a symmetric
// clamp to -2147483647..2147483647, then narrows to the subslot, so the regions the stream zeroed before queuing
// them end up holding the saturated mix of every running render pin.
//
// Pure and allocation-free; any IRQL. Buffers need no alignment.
#pragma once
#include "kerneldriver/kernel_headers.h"

inline constexpr LONG kMixCeiling = 2147483647;
inline constexpr LONG kMixFloor = -2147483647;

// The sum clamped to kMixFloor..kMixCeiling, in 32-bit operations only (so
// the loops vectorise with SSE2): a wrapped sum is replaced by the bound on
// the operands' side, and -2^31 is lifted to the floor.
inline LONG SaturatingMix(LONG device, LONG client) {
  const auto sum = static_cast<LONG>(static_cast<ULONG>(device) + static_cast<ULONG>(client));
  const LONG wrapped = ((device ^ sum) & (client ^ sum)) >> 31;  // all ones when the sum wrapped
  const LONG bound = (device >> 31) ^ kMixCeiling;               // -2^31 or 2^31 - 1
  const LONG clamped = (sum & ~wrapped) | (bound & wrapped);
  return clamped + static_cast<LONG>(clamped == static_cast<LONG>(0x80000000u));
}

// One copy or mix of `frames` frames. Channel counts are the frames' widths;
// the device frame is deviceChannels subslots of deviceBytes each. A block
// whose subslot SubslotServed refuses is left untouched on both sides.
struct SampleBlock {
  PUCHAR client;
  ULONG clientChannels;
  PUCHAR device;
  ULONG deviceChannels;
  ULONG frames;
  ULONG deviceBytes = 4;
};

// The subslot sizes the conversions serve: 2, 3 and 4 bytes.
bool SubslotServed(ULONG deviceBytes);

// Capture: device words into the client's frames.
void CaptureToClient16(const SampleBlock &block);
void CaptureToClient32(const SampleBlock &block);
// Render: the client's samples mixed into the device words.
void MixFromClient16(const SampleBlock &block);
void MixFromClient32(const SampleBlock &block);
