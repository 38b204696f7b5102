#include "winsim/kernel/pool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/fault_injection.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/live_objects.h"
#include "winsim/sched/scheduler.h"

namespace winsim {
namespace {

bool IsPaged(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0; }

// Nonpaged types without the no-execute bit (NonPagedPool, its cache-aligned
// and must-succeed forms) hand out executable memory.
bool IsExecutable(POOL_TYPE type) { return !IsPaged(type) && (static_cast<int>(type) & NonPagedPoolNx) == 0; }

// Freshly allocated pool is not zeroed on Windows; fill it so code that reads
// it uninitialised misbehaves visibly.
constexpr unsigned char kFreshPoolFill = 0xCD;

KIRQL CurrentIrql() {
  SimThread *thread = Scheduler::Current();
  return thread != nullptr ? thread->irql : PASSIVE_LEVEL;
}

}  // namespace

Pool &Pool::Instance() {
  static Pool pool;
  return pool;
}

std::string Pool::TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0x7F);
    text += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text;
}

void Pool::CheckRequest(POOL_TYPE type, SIZE_T bytes, ULONG tag, const std::source_location &site) const {
  KIRQL irql = CurrentIrql();
  if (irql > DISPATCH_LEVEL || (IsPaged(type) && irql > APC_LEVEL)) {
    BugCheck(BugCode::kBadPoolCaller,
             "pool type " + std::to_string(type) + " allocated at IRQL " + std::to_string(irql), site);
  }
  if (tag == 0) BugCheck(BugCode::kBadPoolCaller, "pool allocated with a zero tag", site);
  if (bytes == 0) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "zero-byte pool allocation (Verifier 0x00) of pool type " + std::to_string(type) + ", tag '" +
                 TagText(tag) + "'",
             site);
  }
  if (IsExecutable(type)) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "executable pool type " + std::to_string(type) + " requested (Verifier 0x2000), tag '" + TagText(tag) +
                 "'; drivers allocate NonPagedPoolNx",
             site);
  }
}

PVOID Pool::Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const std::source_location &site) {
  CheckRequest(type, bytes, tag, site);
  if (AllocationFaults::Instance().ShouldFail(tag, bytes, site)) return nullptr;
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_failCount > 0 && (m_failTag == 0 || m_failTag == tag)) {
    --m_failCount;
    return nullptr;
  }
  void *block = std::malloc(bytes);
  if (block == nullptr) return nullptr;
  std::memset(block, kFreshPoolFill, bytes);
  m_freed.erase(block);
  m_live[block] = Block{tag, bytes, ++m_serial, site, IsPaged(type)};
  if (IsPaged(type)) ++m_pagedBlocks;
  return block;
}

// The block is checked while still live and released afterwards: the checks
// take the kernel objects' own locks, never while the pool's is held.
void Pool::Free(PVOID block, ULONG tag, bool checkTag, const std::source_location &site) {
  KIRQL irql = CurrentIrql();
  if (irql > DISPATCH_LEVEL) BugCheck(BugCode::kBadPoolCaller, "pool freed at IRQL " + std::to_string(irql), site);
  std::unique_lock<std::mutex> lock(m_lock);
  auto it = m_live.find(block);
  if (it == m_live.end()) {
    bool twice = m_freed.count(block) != 0;
    lock.unlock();
    BugCheck(BugCode::kBadPoolCaller,
             twice ? "pool block freed twice" : "ExFreePool of an address that is not a pool block", site);
  }
  if (checkTag && it->second.tag != tag) {
    std::string detail = "pool block with tag '" + TagText(it->second.tag) + "' freed with tag '" + TagText(tag) + "'";
    lock.unlock();
    BugCheck(BugCode::kBadPoolCaller, detail, site);
  }
  const Block freeing = it->second;
  lock.unlock();
  if (freeing.paged && irql > APC_LEVEL) {
    BugCheck(BugCode::kBadPoolCaller, "paged pool freed at IRQL " + std::to_string(irql), site);
  }
  CheckFreedMemory(block, freeing.bytes, site);
  lock.lock();
  if (m_live.erase(block) == 0) {
    lock.unlock();
    BugCheck(BugCode::kBadPoolCaller, "pool block freed twice, by two threads at once", site);
  }
  if (freeing.paged) --m_pagedBlocks;
  m_freed.insert(block);
  std::free(block);
}

std::map<PVOID, Pool::Block>::const_iterator Pool::BlockAtLocked(const void *address) const {
  auto it = m_live.upper_bound(const_cast<PVOID>(address));
  if (it == m_live.begin()) return m_live.end();
  --it;
  auto begin = static_cast<const char *>(it->first);
  auto at = static_cast<const char *>(address);
  return at < begin + it->second.bytes ? it : m_live.end();
}

bool Pool::Contains(const void *address) const {
  std::lock_guard<std::mutex> guard(m_lock);
  return BlockAtLocked(address) != m_live.end();
}

bool Pool::PagedBlockAt(const void *address, size_t bytes, std::source_location *allocatedAt) const {
  if (m_pagedBlocks.load(std::memory_order_relaxed) == 0) return false;
  std::lock_guard<std::mutex> guard(m_lock);
  auto first = static_cast<const char *>(address);
  // The block holding the first byte, or any block starting inside the range.
  auto it = BlockAtLocked(address);
  if (it == m_live.end()) it = m_live.lower_bound(const_cast<PVOID>(address));
  for (; it != m_live.end() && static_cast<const char *>(it->first) < first + (bytes == 0 ? 1 : bytes); ++it) {
    if (it->second.paged) {
      if (allocatedAt != nullptr) *allocatedAt = it->second.site;
      return true;
    }
  }
  return false;
}

std::vector<PoolTagUsage> Pool::Outstanding() const {
  std::lock_guard<std::mutex> guard(m_lock);
  std::map<ULONG, PoolTagUsage> byTag;
  std::map<ULONG, uint64_t> oldest;
  for (const auto &[address, block] : m_live) {
    (void)address;
    if (block.machineOwned) continue;
    PoolTagUsage &usage = byTag[block.tag];
    usage.tag = block.tag;
    ++usage.blocks;
    usage.bytes += block.bytes;
    if (oldest.count(block.tag) == 0 || block.serial < oldest[block.tag]) {
      oldest[block.tag] = block.serial;
      usage.firstSite = SiteText(block.site);
    }
  }
  std::vector<PoolTagUsage> result;
  for (auto &[tag, usage] : byTag) {
    (void)tag;
    result.push_back(usage);
  }
  return result;
}

size_t Pool::OutstandingBlocks(ULONG tag) const {
  std::lock_guard<std::mutex> guard(m_lock);
  size_t count = 0;
  for (const auto &[address, block] : m_live) {
    (void)address;
    count += block.tag == tag;
  }
  return count;
}

uint64_t Pool::AllocationCount() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_serial;
}

void Pool::FailAllocations(ULONG tag, int count) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_failTag = tag;
  m_failCount = count < 0 ? 0 : count;
}

void Pool::MarkMachineOwned(const void *address) {
  std::lock_guard<std::mutex> guard(m_lock);
  auto found = BlockAtLocked(address);
  if (found != m_live.end()) m_live.at(found->first).machineOwned = true;
}

void Pool::CheckNoLeaks(const char *when, const std::source_location &site) const {
  std::vector<PoolTagUsage> usage = Outstanding();
  if (usage.empty()) return;
  std::string detail = std::string("pool still allocated ") + when + ":";
  for (const PoolTagUsage &tag : usage) {
    detail += "\n      tag '" + TagText(tag.tag) + "': " + std::to_string(tag.blocks) + " block(s), " +
              std::to_string(tag.bytes) + " bytes, first allocated at " + tag.firstSite;
  }
  BugCheck(BugCode::kDriverVerifierDetectedViolation, detail, site);
}

void Pool::Reset() {
  std::lock_guard<std::mutex> guard(m_lock);
  for (auto &[address, block] : m_live) {
    (void)block;
    std::free(address);
  }
  m_live.clear();
  m_freed.clear();
  m_pagedBlocks = 0;
  m_serial = 0;
  m_failCount = 0;
}

namespace {

void ReportPaged(const void *address, const char *what, const std::source_location &allocatedAt, KIRQL irql,
                 const std::source_location &site) {
  BugCheck(BugCode::kDriverIrqlNotLessOrEqual,
           std::string(what) + " at " + Hex(address) + " lies in paged pool (allocated at " + SiteText(allocatedAt) +
               ") and is used at DISPATCH_LEVEL (caller at IRQL " + std::to_string(irql) +
               "), where paged memory may not be resident",
           site);
}

}  // namespace

void RequireNonPaged(const void *address, size_t bytes, const char *what, const std::source_location &site) {
  std::source_location allocatedAt;
  if (Pool::Instance().PagedBlockAt(address, bytes, &allocatedAt)) {
    ReportPaged(address, what, allocatedAt, CurrentIrql(), site);
  }
}

void RequireNonPagedAtRaisedIrql(const void *address, size_t bytes, const char *what,
                                 const std::source_location &site) {
  KIRQL irql = CurrentIrql();
  if (irql < DISPATCH_LEVEL) return;
  std::source_location allocatedAt;
  if (Pool::Instance().PagedBlockAt(address, bytes, &allocatedAt)) ReportPaged(address, what, allocatedAt, irql, site);
}

}  // namespace winsim

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                            const std::source_location &winsimSite) {
  return winsim::Pool::Instance().Allocate(PoolType, NumberOfBytes, Tag, winsimSite);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, const std::source_location &winsimSite) {
  return winsim::Pool::Instance().Allocate(PoolType, NumberOfBytes, MAKEFOURCC_TAG('N', 'o', 'n', 'e'), winsimSite);
}

void ExFreePoolWithTag(PVOID P, ULONG Tag, const std::source_location &winsimSite) {
  winsim::Pool::Instance().Free(P, Tag, true, winsimSite);
}

void ExFreePool(PVOID P, const std::source_location &winsimSite) {
  winsim::Pool::Instance().Free(P, 0, false, winsimSite);
}
