#include "winsim/usb/periodic_budget.h"

#include <algorithm>

namespace winsim::usb {
namespace {

// Protocol overhead of one high-speed transaction, in bytes (token,
// handshake where there is one, inter-packet gaps): 38 for isochronous,
// 55 for interrupt transactions.
constexpr uint32_t kIsochronousOverhead = 38;
constexpr uint32_t kInterruptOverhead = 55;

uint32_t Cost(const PeriodicEndpoint &endpoint) {
  const uint32_t overhead = endpoint.isochronous ? kIsochronousOverhead : kInterruptOverhead;
  return endpoint.bytes + std::max<uint32_t>(endpoint.transactions, 1) * overhead;
}

uint32_t Period(const PeriodicEndpoint &endpoint, uint32_t slots) {
  return std::clamp<uint32_t>(endpoint.intervalMicroframes, 1, slots);
}

}  // namespace

// The load of every booking but those of `port` (every interface of it when
// interfaceNumber is negative, else that one).
std::vector<uint32_t> PeriodicBudget::LoadsWithout(int port, int interfaceNumber) const {
  std::vector<uint32_t> loads(kSlots, 0);
  for (const auto &[key, booking] : m_bookings) {
    if (key.first == port && (interfaceNumber < 0 || key.second == interfaceNumber)) continue;
    for (size_t i = 0; i < booking.endpoints.size(); ++i) {
      const uint32_t period = Period(booking.endpoints[i], kSlots);
      for (uint32_t slot = booking.phases[i]; slot < kSlots; slot += period) loads[slot] += Cost(booking.endpoints[i]);
    }
  }
  return loads;
}

// Each endpoint goes to the phase whose busiest microframe stays lowest.
bool PeriodicBudget::Place(std::vector<uint32_t> &loads, const std::vector<PeriodicEndpoint> &endpoints,
                           uint32_t limit, std::vector<uint32_t> *phases) {
  phases->clear();
  for (const PeriodicEndpoint &endpoint : endpoints) {
    const uint32_t period = Period(endpoint, kSlots);
    const uint32_t cost = Cost(endpoint);
    uint32_t bestPhase = 0;
    uint32_t bestPeak = UINT32_MAX;
    for (uint32_t phase = 0; phase < period; ++phase) {
      uint32_t peak = 0;
      for (uint32_t slot = phase; slot < kSlots; slot += period) peak = std::max(peak, loads[slot] + cost);
      if (peak < bestPeak) {
        bestPeak = peak;
        bestPhase = phase;
      }
    }
    if (limit != 0 && bestPeak > limit) return false;
    for (uint32_t slot = bestPhase; slot < kSlots; slot += period) loads[slot] += cost;
    phases->push_back(bestPhase);
  }
  return true;
}

// Books the port's interfaces in place of all it had; false, and nothing
// changed, when they do not fit.
bool PeriodicBudget::Book(int port, const PortBookings &interfaces, uint32_t limit) {
  std::vector<uint32_t> loads = LoadsWithout(port, -1);
  std::map<Key, Booking> placed;
  for (const auto &[number, endpoints] : interfaces) {
    if (endpoints.empty()) continue;
    Booking booking;
    if (!Place(loads, endpoints, limit, &booking.phases)) return false;
    booking.endpoints = endpoints;
    placed[{port, number}] = std::move(booking);
  }
  std::erase_if(m_bookings, [port](const auto &entry) { return entry.first.first == port; });
  m_bookings.merge(placed);
  return true;
}

bool PeriodicBudget::Reserve(int port, uint8_t interfaceNumber, const std::vector<PeriodicEndpoint> &endpoints) {
  PortBookings interfaces = Bookings(port);
  interfaces[interfaceNumber] = endpoints;
  return Book(port, interfaces, m_limit);
}

bool PeriodicBudget::ReservePort(int port, const PortBookings &interfaces) { return Book(port, interfaces, m_limit); }

PeriodicBudget::PortBookings PeriodicBudget::Bookings(int port) const {
  PortBookings interfaces;
  for (const auto &[key, booking] : m_bookings) {
    if (key.first == port) interfaces[key.second] = booking.endpoints;
  }
  return interfaces;
}

void PeriodicBudget::RestorePort(int port, const PortBookings &interfaces) { Book(port, interfaces, 0); }

uint32_t PeriodicBudget::PeakLoad() const {
  const std::vector<uint32_t> loads = LoadsWithout(-1, -1);
  return *std::max_element(loads.begin(), loads.end());
}

}  // namespace winsim::usb
