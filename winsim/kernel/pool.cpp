#include "winsim/kernel/pool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "winsim/kernel/bugcheck.h"
#include "winsim/sched/scheduler.h"

namespace winsim {
namespace {

bool IsPaged(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0 && type != NonPagedPoolNx; }

std::string SiteText(const std::source_location &site) {
  return std::string(site.file_name()) + ":" + std::to_string(site.line());
}

// Freshly allocated pool is not zeroed on Windows; fill it so code that reads
// it uninitialised misbehaves visibly.
constexpr unsigned char kFreshPoolFill = 0xCD;

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

PVOID Pool::Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const std::source_location &site) {
  SimThread *thread = Scheduler::Current();
  KIRQL irql = thread != nullptr ? thread->irql : PASSIVE_LEVEL;
  if (irql > DISPATCH_LEVEL || (IsPaged(type) && irql > APC_LEVEL)) {
    BugCheck(BugCode::kBadPoolCaller,
             "pool type " + std::to_string(type) + " allocated at IRQL " + std::to_string(irql), site);
  }
  if (tag == 0) BugCheck(BugCode::kBadPoolCaller, "pool allocated with a zero tag", site);
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_failCount > 0 && (m_failTag == 0 || m_failTag == tag)) {
    --m_failCount;
    return nullptr;
  }
  if (bytes == 0) bytes = 1;  // Windows hands out a valid block for zero bytes
  void *block = std::malloc(bytes);
  if (block == nullptr) return nullptr;
  std::memset(block, kFreshPoolFill, bytes);
  m_freed.erase(block);
  m_live[block] = Block{tag, bytes, ++m_serial, site};
  return block;
}

void Pool::Free(PVOID block, ULONG tag, bool checkTag, const std::source_location &site) {
  SimThread *thread = Scheduler::Current();
  if (thread != nullptr && thread->irql > DISPATCH_LEVEL) {
    BugCheck(BugCode::kBadPoolCaller, "pool freed at IRQL " + std::to_string(thread->irql), site);
  }
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
  m_live.erase(it);
  m_freed.insert(block);
  std::free(block);
}

std::vector<PoolTagUsage> Pool::Outstanding() const {
  std::lock_guard<std::mutex> guard(m_lock);
  std::map<ULONG, PoolTagUsage> byTag;
  std::map<ULONG, uint64_t> oldest;
  for (const auto &[address, block] : m_live) {
    (void)address;
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
  m_serial = 0;
  m_failCount = 0;
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
