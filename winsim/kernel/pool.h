// Kernel pool with per-tag accounting. Every block remembers its tag, size
// and allocation site, so a leak report names them and a wrong-tag or double
// free is a bug check.
#pragma once
#include <wdm.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <source_location>
#include <string>
#include <vector>

namespace winsim {

struct PoolTagUsage {
  ULONG tag;
  size_t blocks;
  size_t bytes;
  std::string firstSite;  // where the oldest outstanding block was allocated
};

class Pool {
 public:
  static Pool &Instance();

  PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const std::source_location &site);
  // tag 0 with checkTag false frees whatever tag the block has (ExFreePool).
  void Free(PVOID block, ULONG tag, bool checkTag, const std::source_location &site);

  std::vector<PoolTagUsage> Outstanding() const;
  size_t OutstandingBlocks(ULONG tag) const;
  // Allocations made since the machine started; tests compare two readings to
  // prove a path allocates nothing.
  uint64_t AllocationCount() const;
  // The next count allocations with this tag (0: any tag) fail, as under low
  // memory. A negative count clears the injection.
  void FailAllocations(ULONG tag, int count);
  // Bug check (DRIVER_VERIFIER_DETECTED_VIOLATION) listing every outstanding
  // block when any remain: what Windows reports when a driver unloads with
  // pool still allocated.
  void CheckNoLeaks(const char *when, const std::source_location &site) const;
  void Reset();

  static std::string TagText(ULONG tag);

 private:
  struct Block {
    ULONG tag;
    SIZE_T bytes;
    uint64_t serial;
    std::source_location site;
  };

  mutable std::mutex m_lock;
  std::map<PVOID, Block> m_live;
  std::set<PVOID> m_freed;  // addresses freed and not handed out again: a second free is caught
  uint64_t m_serial = 0;
  ULONG m_failTag = 0;
  int m_failCount = 0;
};

}  // namespace winsim
