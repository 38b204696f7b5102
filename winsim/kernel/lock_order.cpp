#include "winsim/kernel/lock_order.h"

#include <algorithm>
#include <set>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"

namespace winsim {
namespace {

// Bounds the search for a path between two locks; a driver's lock graph is
// a few dozen nodes, so this only stops a corrupted graph from hanging.
constexpr size_t kMaxPathSearch = 100000;

std::string ThreadName(const SimThread *thread) { return thread != nullptr ? thread->Name() : "<not simulated>"; }

}  // namespace

const char *LockKindName(LockKind kind) {
  switch (kind) {
    case LockKind::SpinLock: return "spin lock";
    case LockKind::FastMutex: return "fast mutex";
    case LockKind::KsDeviceMutex: return "KS device mutex";
    case LockKind::KsFilterControlMutex: return "KS filter control mutex";
    case LockKind::KsProcessMutex: return "KS process mutex";
  }
  return "lock";
}

LockOrder &LockOrder::Instance() {
  static LockOrder order;
  return order;
}

LockOrder::Node &LockOrder::NodeLocked(uintptr_t lock, LockKind kind) {
  auto [it, inserted] = m_nodes.try_emplace(lock);
  if (inserted) it->second.kind = kind;
  return it->second;
}

std::string LockOrder::NameLocked(uintptr_t lock) const {
  auto it = m_nodes.find(lock);
  const char *kind = it != m_nodes.end() ? LockKindName(it->second.kind) : "lock";
  return std::string(kind) + " " + Hex(reinterpret_cast<const void *>(lock));
}

// Depth-first search along "taken after" edges; `path` receives the nodes
// from `from` to `to`, both included.
bool LockOrder::PathLocked(uintptr_t from, uintptr_t to, std::vector<uintptr_t> *path) const {
  std::set<uintptr_t> seen;
  std::vector<std::pair<uintptr_t, std::map<uintptr_t, Edge>::const_iterator>> stack;
  auto push = [&](uintptr_t lock) -> bool {
    auto it = m_nodes.find(lock);
    if (it == m_nodes.end() || !seen.insert(lock).second) return false;
    stack.emplace_back(lock, it->second.after.begin());
    return true;
  };
  push(from);
  while (!stack.empty() && seen.size() < kMaxPathSearch) {
    auto &[lock, next] = stack.back();
    if (lock == to) {
      for (const auto &frame : stack) path->push_back(frame.first);
      return true;
    }
    const Node &node = m_nodes.at(lock);
    if (next == node.after.end()) {
      stack.pop_back();
      continue;
    }
    uintptr_t successor = (next++)->first;
    push(successor);
  }
  return false;
}

std::string LockOrder::DescribeInversionLocked(uintptr_t held, uintptr_t taking, const std::vector<uintptr_t> &path,
                                               const std::source_location &site) const {
  const Node &heldNode = m_nodes.at(held);
  std::string detail = "deadlock: lock order inversion (Verifier 0x1001). Thread '" +
                       ThreadName(Scheduler::Current()) + "' acquires " + NameLocked(taking) + " at " +
                       SiteText(site) + " while holding " + NameLocked(held) + " (acquired at " +
                       SiteText(heldNode.acquiredAt) + "); the opposite order was taken before:";
  for (size_t i = 0; i + 1 < path.size(); ++i) {
    const Edge &edge = m_nodes.at(path[i]).after.at(path[i + 1]);
    detail += "\n      thread '" + ThreadName(edge.thread) + "' held " + NameLocked(path[i]) + " (acquired at " +
              SiteText(edge.firstAt) + ") and acquired " + NameLocked(path[i + 1]) + " at " + SiteText(edge.thenAt);
  }
  return detail;
}

void LockOrder::Acquiring(const void *lock, LockKind kind, const std::source_location &site) {
  const SimThread *self = Scheduler::Current();
  const auto taking = reinterpret_cast<uintptr_t>(lock);
  std::unique_lock<std::mutex> guard(m_lock);
  NodeLocked(taking, kind);
  auto held = m_held.find(self);
  if (held == m_held.end()) return;
  for (uintptr_t earlier : held->second) {
    Node &earlierNode = m_nodes.at(earlier);
    if (earlier == taking || earlierNode.after.count(taking) != 0) continue;
    std::vector<uintptr_t> path;
    if (PathLocked(taking, earlier, &path)) {
      std::string detail = DescribeInversionLocked(earlier, taking, path, site);
      guard.unlock();
      BugCheck(BugCode::kDriverVerifierDetectedViolation, detail, site);
    }
    earlierNode.after.emplace(taking, Edge{earlierNode.acquiredAt, site, self});
    m_nodes.at(taking).before.push_back(earlier);
  }
}

void LockOrder::Declare(const void *first, LockKind firstKind, const void *second, LockKind secondKind,
                        const std::source_location &site) {
  const auto before = reinterpret_cast<uintptr_t>(first);
  const auto after = reinterpret_cast<uintptr_t>(second);
  std::lock_guard<std::mutex> guard(m_lock);
  Node &firstNode = NodeLocked(before, firstKind);
  NodeLocked(after, secondKind);
  if (firstNode.after.count(after) != 0) return;
  firstNode.after.emplace(after, Edge{site, site, Scheduler::Current()});
  m_nodes.at(after).before.push_back(before);
}

void LockOrder::Acquired(const void *lock, LockKind kind, const std::source_location &site) {
  const SimThread *self = Scheduler::Current();
  const auto taken = reinterpret_cast<uintptr_t>(lock);
  std::lock_guard<std::mutex> guard(m_lock);
  Node &node = NodeLocked(taken, kind);
  node.owner = self;
  node.acquiredAt = site;
  m_held[self].push_back(taken);
}

void LockOrder::Released(const void *lock) {
  const SimThread *self = Scheduler::Current();
  const auto released = reinterpret_cast<uintptr_t>(lock);
  std::lock_guard<std::mutex> guard(m_lock);
  auto node = m_nodes.find(released);
  if (node != m_nodes.end() && node->second.owner == self) node->second.owner = nullptr;
  auto held = m_held.find(self);
  if (held == m_held.end()) return;
  // Locks need not be released in the reverse order they were taken.
  auto it = std::find(held->second.rbegin(), held->second.rend(), released);
  if (it != held->second.rend()) held->second.erase(std::next(it).base());
  if (held->second.empty()) m_held.erase(held);
}

void LockOrder::ForgetLocked(uintptr_t lock) {
  auto it = m_nodes.find(lock);
  if (it == m_nodes.end()) return;
  for (const auto &[successor, edge] : it->second.after) {
    (void)edge;
    auto next = m_nodes.find(successor);
    if (next != m_nodes.end()) std::erase(next->second.before, lock);
  }
  for (uintptr_t predecessor : it->second.before) {
    auto previous = m_nodes.find(predecessor);
    if (previous != m_nodes.end()) previous->second.after.erase(lock);
  }
  m_nodes.erase(it);
}

void LockOrder::Initialized(const void *lock, LockKind kind, const std::source_location &site) {
  const auto address = reinterpret_cast<uintptr_t>(lock);
  std::unique_lock<std::mutex> guard(m_lock);
  auto it = m_nodes.find(address);
  if (it != m_nodes.end() && it->second.owner != nullptr) {
    std::string detail = std::string(LockKindName(kind)) + " " + Hex(lock) + " initialised while thread '" +
                         ThreadName(it->second.owner) + "' holds it (acquired at " +
                         SiteText(it->second.acquiredAt) + ")";
    guard.unlock();
    BugCheck(BugCode::kDriverVerifierDetectedViolation, detail, site);
  }
  ForgetLocked(address);
}

void LockOrder::Freeing(const void *begin, size_t bytes, const std::source_location &site) {
  const auto first = reinterpret_cast<uintptr_t>(begin);
  std::unique_lock<std::mutex> guard(m_lock);
  std::vector<uintptr_t> inBlock;
  for (auto it = m_nodes.lower_bound(first); it != m_nodes.end() && it->first < first + bytes; ++it) {
    if (it->second.owner != nullptr) {
      std::string detail = "pool block " + Hex(begin) + " freed while it holds " + NameLocked(it->first) +
                           ", owned by thread '" + ThreadName(it->second.owner) + "' (acquired at " +
                           SiteText(it->second.acquiredAt) + ")";
      guard.unlock();
      BugCheck(BugCode::kDriverVerifierDetectedViolation, detail, site);
    }
    inBlock.push_back(it->first);
  }
  for (uintptr_t lock : inBlock) ForgetLocked(lock);
}

uint32_t LockOrder::HeldByCurrentThread() const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto held = m_held.find(Scheduler::Current());
  return held == m_held.end() ? 0 : static_cast<uint32_t>(held->second.size());
}

std::string LockOrder::DescribeHeldByCurrentThread(uint32_t keep) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto held = m_held.find(Scheduler::Current());
  if (held == m_held.end()) return {};
  std::string text;
  for (size_t i = keep; i < held->second.size(); ++i) {
    uintptr_t lock = held->second[i];
    if (!text.empty()) text += "; ";
    text += NameLocked(lock) + " acquired at " + SiteText(m_nodes.at(lock).acquiredAt);
  }
  return text;
}

std::string LockOrder::DescribeOwner(const void *lock) const {
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_nodes.find(reinterpret_cast<uintptr_t>(lock));
  if (it == m_nodes.end() || it->second.owner == nullptr) return {};
  return "thread '" + ThreadName(it->second.owner) + "', acquired at " + SiteText(it->second.acquiredAt);
}

void LockOrder::Reset() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_nodes.clear();
  m_held.clear();
  m_spinTimeoutMs = kDefaultSpinTimeoutMs;
}

}  // namespace winsim
