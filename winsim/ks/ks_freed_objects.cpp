#include "winsim/ks/ks_freed_objects.h"

#include <cstdio>

#include "winsim/kernel/io_rules.h"

namespace winsim::ks {

FreedObjects &FreedObjects::Instance() {
  static FreedObjects freed;
  return freed;
}

void FreedObjects::Remember(const void *address, const char *kind, const std::source_location &freedAt) {
  Scheduler *scheduler = Scheduler::Active();
  const VTime when = scheduler != nullptr ? scheduler->Now() : 0;
  const auto key = reinterpret_cast<uintptr_t>(address);
  std::lock_guard<std::mutex> guard(m_lock);
  const uint64_t serial = m_nextSerial++;
  m_byAddress[key] = Record{{kind, freedAt, when}, serial};
  m_order.emplace_back(key, serial);
  while (m_order.size() > m_capacity) {
    auto [oldest, oldestSerial] = m_order.front();
    m_order.pop_front();
    auto it = m_byAddress.find(oldest);
    if (it != m_byAddress.end() && it->second.serial == oldestSerial) m_byAddress.erase(it);
  }
}

void FreedObjects::ForgetRange(const void *begin, size_t bytes) {
  const auto first = reinterpret_cast<uintptr_t>(begin);
  std::lock_guard<std::mutex> guard(m_lock);
  m_byAddress.erase(m_byAddress.lower_bound(first), m_byAddress.lower_bound(first + bytes));
}

std::optional<FreedObject> FreedObjects::Find(const void *address) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_byAddress.find(reinterpret_cast<uintptr_t>(address));
  if (it == m_byAddress.end()) return std::nullopt;
  return it->second.object;
}

size_t FreedObjects::Size() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_byAddress.size();
}

std::string DescribeFreed(const void *address, const FreedObject &object) {
  char when[32];
  std::snprintf(when, sizeof when, "%.4f ms", static_cast<double>(object.when) / kTicksPerMillisecond);
  return std::string(object.kind) + " " + Hex(address) + ", which was freed at " + SiteText(object.freedAt) + " (" +
         object.freedAt.function_name() + ") at " + when;
}

}  // namespace winsim::ks
