// Payloads of the clock requests a device answers on its AudioControl
// interface: sampling frequency CUR (4 bytes) and RANGE (discrete subranges).
#pragma once
#include <cstdint>
#include <vector>

#include "winsim/devices/device_model.h"

namespace winsim::devices {

// Little-endian u32 of the rate.
std::vector<uint8_t> SamplingFrequencyCur(uint32_t rate);

// wNumSubRanges, then dMIN = dMAX = rate and dRES = 0 for each rate of the
// clock, in the clock's order.
std::vector<uint8_t> SamplingFrequencyRange(const ClockSource &clock);

// The rate a clock runs at when the device starts: the model's initial rate
// when the clock has it, else the clock's first rate (0 without rates).
uint32_t StartRate(const DeviceModel &model, const ClockSource &clock);

}  // namespace winsim::devices
