// Writing a client ramp and checking where it arrives: at the device's
// DAC, and back in a capture client's frames.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "pin_fixture.h"

namespace pintest {

// A render flow's generator of Ramp16/Ramp32 frames.
std::function<void(uint64_t, uint8_t *)> RampWriter(const WaveShape &shape);
// The client's ramp, frames 0..frames-1, as the device's words on its
// first channels (the rest silent) at the resolution of its `subslot`,
// starting at the first sound.
void ExpectPlayedRamp(const std::vector<int32_t> &played, uint32_t channels, const WaveShape &shape, uint64_t frames,
                      uint32_t subslot = 4);
// Captured client frames hold the ramp at the resolution of a `subslot`
// device, without a gap, from their first sound on, for at least
// minimumFrames.
void ExpectCapturedRamp(const std::vector<uint8_t> &bytes, const WaveShape &shape, uint64_t minimumFrames,
                        uint32_t subslot = 4);

}  // namespace pintest
