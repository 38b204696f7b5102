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
  if (!clock.subranges.empty()) {
    const size_t count = std::min<size_t>(clock.subranges.size(), UINT16_MAX);
    w.U16(static_cast<uint16_t>(count));
    for (size_t i = 0; i < count; ++i) {
      w.U32(clock.subranges[i].minimum);
      w.U32(clock.subranges[i].maximum);
      w.U32(clock.subranges[i].resolution);
    }
    return w.Take();
  }
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
  if (ClockAccepts(clock, model.behaviour.initialRate)) return model.behaviour.initialRate;
  if (!rates.empty()) return rates.front();
  return clock.subranges.empty() ? 0 : clock.subranges.front().minimum;
}

}  // namespace winsim::devices
