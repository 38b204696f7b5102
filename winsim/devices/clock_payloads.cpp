#include "winsim/devices/clock_payloads.h"

#include <algorithm>

#include "winsim/devices/byte_io.h"

namespace winsim::devices {

std::vector<uint8_t> SamplingFrequencyCur(uint32_t rate) {
  ByteWriter w;
  w.U32(rate);
  return w.Take();
}

std::vector<uint8_t> SamplingFrequencyRange(const ClockSource &clock) {
  ByteWriter w;
  const size_t count = std::min<size_t>(clock.rates.size(), UINT16_MAX);
  w.U16(static_cast<uint16_t>(count));
  for (size_t i = 0; i < count; ++i) {
    w.U32(clock.rates[i]);
    w.U32(clock.rates[i]);
    w.U32(0);
  }
  return w.Take();
}

uint32_t StartRate(const DeviceModel &model, const ClockSource &clock) {
  const auto &rates = clock.rates;
  if (std::find(rates.begin(), rates.end(), model.behaviour.initialRate) != rates.end()) {
    return model.behaviour.initialRate;
  }
  return rates.empty() ? 0 : rates.front();
}

}  // namespace winsim::devices
