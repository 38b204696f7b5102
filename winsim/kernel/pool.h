// Kernel pool with per-tag accounting. Every block remembers its tag, size,
// type and allocation site, so a leak report names them and a wrong-tag or
// double free is a bug check. Pool is checked as Driver Verifier checks it:
// zero-byte and executable requests are refused, a block is not freed while a
// kernel object in it is live (a set timer, a queued DPC or work item, a
// waited-on object, a lookaside list, a held lock), and paged blocks are
// known, so kernel objects and memory used at DISPATCH_LEVEL can be checked
// against them. Allocations can be failed on purpose (fault_injection.h).
#pragma once
#include <wdm.h>

#include <atomic>
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
  // The block holding address belongs to the machine's own outside
  // components (the driver logger's device object), which live as long as the
  // machine: Outstanding and CheckNoLeaks leave it out.
  void MarkMachineOwned(const void *address);
  void Reset();

  // Whether address lies inside a live block.
  bool Contains(const void *address) const;
  // The paged block overlapping [address, address + bytes), if any: true
  // with its allocation site.
  bool PagedBlockAt(const void *address, size_t bytes, std::source_location *allocatedAt) const;

  static std::string TagText(ULONG tag);

 private:
  struct Block {
    ULONG tag;
    SIZE_T bytes;
    uint64_t serial;
    std::source_location site;
    bool paged;
    bool machineOwned = false;
  };

  void CheckRequest(POOL_TYPE type, SIZE_T bytes, ULONG tag, const std::source_location &site) const;
  std::map<PVOID, Block>::const_iterator BlockAtLocked(const void *address) const;

  mutable std::mutex m_lock;
  std::map<PVOID, Block> m_live;
  std::atomic<size_t> m_pagedBlocks{0};
  std::set<PVOID> m_freed;  // addresses freed and not handed out again: a second free is caught
  uint64_t m_serial = 0;
  ULONG m_failTag = 0;
  int m_failCount = 0;
};

// Memory the kernel touches at DISPATCH_LEVEL (spin locks, DPCs, timers,
// dispatcher objects, work items) must be resident: DRIVER_IRQL_NOT_LESS_OR_EQUAL
// when [address, address + bytes) lies in paged pool, whatever the caller's
// IRQL now (it is paged out when the kernel needs it).
void RequireNonPaged(const void *address, size_t bytes, const char *what, const std::source_location &site);
// Memory read at the caller's IRQL: the same bug check, but only when the
// calling thread runs at DISPATCH_LEVEL or above.
//
// Limit: winsim checks what is handed to the kernel, ks.sys and the USB stack
// (kernel objects, descriptors, URBs), not every load and store of driver
// code. A DPC or completion routine that reads paged pool of its own is not
// caught here; Verifier catches it by paging pool out whenever IRQL rises.
void RequireNonPagedAtRaisedIrql(const void *address, size_t bytes, const char *what,
                                 const std::source_location &site);

}  // namespace winsim
