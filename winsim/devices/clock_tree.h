// The state of a device's clock entities: each clock source's current rate
// and validity, and the clock selector's input. The streams run from the
// active clock: the selector's current input, else the clock the terminals
// name (the first clock source).
#pragma once
#include <cstdint>
#include <vector>

#include "winsim/devices/device_model.h"

namespace winsim::devices {

class ClockTree {
 public:
  explicit ClockTree(const DeviceModel &model);

  bool IsClockSource(uint8_t id) const { return Find(id) != nullptr; }
  bool IsSelector(uint8_t id) const { return m_selectorId != 0 && id == m_selectorId; }

  // 0 for an unknown clock.
  uint32_t Rate(uint8_t clockId) const;
  // A host's SET CUR: false (nothing changes) for an unknown clock, a rate
  // it does not list, or a clock whose rate the model does not let the host
  // write (ClockRateWrites).
  bool SetRate(uint8_t clockId, uint32_t rate);
  // What an external clock locks to now runs at `rate` (any rate it lists);
  // false for an unknown or internal clock or another rate.
  bool SetLockedRate(uint8_t clockId, uint32_t rate);
  // A clock's own drift (ClockSource::driftPpm); false for an unknown clock.
  bool SetDrift(uint8_t clockId, int32_t driftPpm);
  // The drift the streams run with: the active clock's own, the device's
  // crystal `crystalPpm` without one, and the crystal also while an active
  // external clock has no lock (the device then runs free at the rate).
  int32_t ActiveDrift(int32_t crystalPpm) const;
  // RANGE answer of a clock source; empty for an unknown clock.
  std::vector<uint8_t> RangePayload(uint8_t clockId) const;

  bool Valid(uint8_t clockId) const;
  // True when the validity changed.
  bool SetValid(uint8_t clockId, bool valid);

  uint8_t SelectorInputs() const { return static_cast<uint8_t>(m_selectorInputs.size()); }
  // 1-based; 0 without a selector.
  uint8_t SelectorInput() const { return m_selectorInput; }
  // False for 0 or an input beyond the selector's pins.
  bool SelectInput(uint8_t input);

  // The clock source the streams run from; 0 without clocks.
  uint8_t ActiveClock() const;
  uint32_t ActiveRate() const { return Rate(ActiveClock()); }

 private:
  struct Clock {
    ClockSource source;
    uint32_t rate = 0;
    bool valid = true;
  };

  const Clock *Find(uint8_t id) const;
  Clock *Find(uint8_t id);

  ClockRateWrites m_writes;
  std::vector<Clock> m_clocks;
  uint8_t m_selectorId = 0;
  std::vector<uint8_t> m_selectorInputs;
  uint8_t m_selectorInput = 0;
};

}  // namespace winsim::devices
