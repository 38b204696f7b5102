// AVStream objects and object bags that were freed, remembered by the address
// a minidriver knew them by (the public object, the bag handle) with the line
// that freed them. A Ks* call that is handed such an address finds it here
// without reading the memory behind it, and stops the machine naming where
// the object went instead of quietly answering NULL.
//
// Bounded: the oldest records go first once kCapacity are kept. A record is
// forgotten when a new AVStream object or bag is allocated over its address,
// so a reused address is never mistaken for a freed object.
//
// Locking: one internal lock; callers may hold the object registry's or the
// bag lock (never the other way round).
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <source_location>
#include <string>

#include "winsim/sched/scheduler.h"

namespace winsim::ks {

struct FreedObject {
  const char *kind;  // "filter", "filter factory", "device", "object bag"
  std::source_location freedAt;
  VTime when;  // virtual time of the free
};

class FreedObjects {
 public:
  static constexpr size_t kCapacity = 4096;
  static FreedObjects &Instance();

  explicit FreedObjects(size_t capacity = kCapacity) : m_capacity(capacity) {}

  void Remember(const void *address, const char *kind, const std::source_location &freedAt);
  // New memory [begin, begin + bytes) belongs to a new object: records in it go.
  void ForgetRange(const void *begin, size_t bytes);
  std::optional<FreedObject> Find(const void *address) const;
  size_t Size() const;

 private:
  struct Record {
    FreedObject object;
    uint64_t serial;
  };

  size_t m_capacity;
  mutable std::mutex m_lock;
  std::map<uintptr_t, Record> m_byAddress;
  // Addresses in the order they were remembered; an entry whose serial no
  // longer matches the map's was forgotten or remembered again since.
  std::deque<std::pair<uintptr_t, uint64_t>> m_order;
  uint64_t m_nextSerial = 1;
};

// "filter 0x…, which was freed at file:line (function) at 12.5 ms"
std::string DescribeFreed(const void *address, const FreedObject &object);

}  // namespace winsim::ks
