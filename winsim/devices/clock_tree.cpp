#include "winsim/devices/clock_tree.h"

#include <algorithm>

#include "winsim/devices/clock_payloads.h"

namespace winsim::devices {

ClockTree::ClockTree(const DeviceModel &model) : m_writes(model.behaviour.clockRateWrites) {
  for (const ClockSource &source : model.clocks) {
    m_clocks.push_back(Clock{source, StartRate(model, source), source.validAtStart});
  }
  if (model.selector) {
    m_selectorId = model.selector->id;
    m_selectorInputs = model.selector->inputs;
    m_selectorInput = m_selectorInputs.empty() ? 0 : 1;
  }
}

const ClockTree::Clock *ClockTree::Find(uint8_t id) const {
  for (const Clock &clock : m_clocks) {
    if (clock.source.id == id) return &clock;
  }
  return nullptr;
}

ClockTree::Clock *ClockTree::Find(uint8_t id) {
  return const_cast<Clock *>(static_cast<const ClockTree *>(this)->Find(id));
}

uint32_t ClockTree::Rate(uint8_t clockId) const {
  const Clock *clock = Find(clockId);
  return clock ? clock->rate : 0;
}

bool ClockTree::SetRate(uint8_t clockId, uint32_t rate) {
  Clock *clock = Find(clockId);
  if (clock == nullptr) return false;
  const ClockType type = clock->source.type;
  const bool writable = type == ClockType::InternalVariable || type == ClockType::InternalProgrammable;
  if (!writable && m_writes != ClockRateWrites::AnyListedRate) return false;
  if (!ClockAccepts(clock->source, rate)) return false;
  clock->rate = rate;
  return true;
}

bool ClockTree::SetLockedRate(uint8_t clockId, uint32_t rate) {
  Clock *clock = Find(clockId);
  if (clock == nullptr || clock->source.type != ClockType::External) return false;
  if (!ClockAccepts(clock->source, rate)) return false;
  clock->rate = rate;
  return true;
}

bool ClockTree::SetDrift(uint8_t clockId, int32_t driftPpm) {
  Clock *clock = Find(clockId);
  if (clock == nullptr) return false;
  clock->source.driftPpm = driftPpm;
  return true;
}

int32_t ClockTree::ActiveDrift(int32_t crystalPpm) const {
  const Clock *clock = Find(ActiveClock());
  if (clock == nullptr || !clock->source.driftPpm) return crystalPpm;
  if (clock->source.type == ClockType::External && !clock->valid) return crystalPpm;
  return *clock->source.driftPpm;
}

std::vector<uint8_t> ClockTree::RangePayload(uint8_t clockId) const {
  const Clock *clock = Find(clockId);
  return clock ? SamplingFrequencyRange(clock->source) : std::vector<uint8_t>{};
}

bool ClockTree::Valid(uint8_t clockId) const {
  const Clock *clock = Find(clockId);
  return clock != nullptr && clock->valid;
}

bool ClockTree::SetValid(uint8_t clockId, bool valid) {
  Clock *clock = Find(clockId);
  if (clock == nullptr || clock->valid == valid) return false;
  clock->valid = valid;
  return true;
}

bool ClockTree::SelectInput(uint8_t input) {
  if (input == 0 || input > m_selectorInputs.size()) return false;
  m_selectorInput = input;
  return true;
}

uint8_t ClockTree::ActiveClock() const {
  if (m_selectorInput != 0) return m_selectorInputs[m_selectorInput - 1];
  return m_clocks.empty() ? 0 : m_clocks.front().source.id;
}

}  // namespace winsim::devices
