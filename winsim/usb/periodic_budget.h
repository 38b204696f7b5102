// A high-speed bus's periodic bandwidth: what the isochronous and interrupt
// endpoints of the selected interface settings reserve in each microframe.
// USB 2.0 lets periodic transfers take at most 80 % of a microframe (6000 of
// its 7500 bytes); a setting that would go past the budget is refused when
// it is selected, before the device hears of it, as a real stack refuses it.
//
// Each endpoint reserves its bytes per service interval plus the protocol
// overhead of each transaction in the microframes it is served in; an
// endpoint served less often than every microframe takes the phase of the
// frame with the least load. Service intervals above a frame are booked as
// one frame (the budget is kept per frame of eight microframes).
//
// Not thread safe: the host controller guards it with its lock.
#pragma once
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace winsim::usb {

inline constexpr uint32_t kPeriodicBudgetBytes = 6000;  // 80 % of 7500 bytes per microframe

struct PeriodicEndpoint {
  uint32_t bytes = 0;                // per service interval, high-bandwidth transactions included
  uint32_t transactions = 1;         // per service interval (1 to 3)
  uint32_t intervalMicroframes = 1;
  bool isochronous = true;           // else interrupt
};

class PeriodicBudget {
 public:
  // 0: no limit.
  void SetLimit(uint32_t bytesPerMicroframe) { m_limit = bytesPerMicroframe; }
  uint32_t Limit() const { return m_limit; }

  // What each interface of a port reserves, by interface number.
  using PortBookings = std::map<uint8_t, std::vector<PeriodicEndpoint>>;

  // Replaces the reservation of one interface of the device on `port` when
  // the bus has room for it beside everything else; false (nothing changed)
  // when it has not.
  bool Reserve(int port, uint8_t interfaceNumber, const std::vector<PeriodicEndpoint> &endpoints);
  // Replaces everything the port reserves, all or nothing.
  bool ReservePort(int port, const PortBookings &interfaces);
  // The port's reservations, to put back with RestorePort when the device
  // refuses what was reserved for it (no limit applies: they fitted before).
  PortBookings Bookings(int port) const;
  void RestorePort(int port, const PortBookings &interfaces);
  void ReleasePort(int port) { RestorePort(port, {}); }

  // The most any microframe carries.
  uint32_t PeakLoad() const;

 private:
  using Key = std::pair<int, uint8_t>;
  struct Booking {
    std::vector<PeriodicEndpoint> endpoints;
    std::vector<uint32_t> phases;  // microframe of the frame each endpoint starts in
  };
  static constexpr uint32_t kSlots = 8;

  std::vector<uint32_t> LoadsWithout(int port, int interfaceNumber) const;
  static bool Place(std::vector<uint32_t> &loads, const std::vector<PeriodicEndpoint> &endpoints, uint32_t limit,
                    std::vector<uint32_t> *phases);
  bool Book(int port, const PortBookings &interfaces, uint32_t limit);

  uint32_t m_limit = kPeriodicBudgetBytes;
  std::map<Key, Booking> m_bookings;
};

}  // namespace winsim::usb
