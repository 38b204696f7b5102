// Lock ownership and lock order, as Driver Verifier's deadlock detection
// keeps them. Every lock a thread takes (spin locks, fast mutexes, the KS
// device mutex) is a node identified by its address; taking B while holding
// A records the edge A -> B with the lines of both acquisitions. Taking a
// lock that already precedes one the thread holds is an inversion: a bug
// check naming both orders and their lines, at the first time it happens,
// whether or not the threads ever collide.
//
// A lock's identity ends when it is initialised again or when the pool block
// holding it is freed, so a new lock at a reused address starts without the
// old one's edges. A lock taken with a try-acquire records no edges (it never
// waits) but is held like any other.
#pragma once
#include <wdm.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <source_location>
#include <string>
#include <unordered_map>
#include <vector>

#include "winsim/sched/scheduler.h"

namespace winsim {

enum class LockKind : uint8_t { SpinLock, FastMutex, KsDeviceMutex, KsFilterControlMutex, KsProcessMutex };
const char *LockKindName(LockKind kind);

class LockOrder {
 public:
  static LockOrder &Instance();

  // Before the calling thread spins or waits for `lock`: records the edges
  // from every lock it holds and bug checks an inversion.
  void Acquiring(const void *lock, LockKind kind, const std::source_location &site);
  // The calling thread now owns `lock` (after Acquiring, or after a
  // successful try-acquire).
  void Acquired(const void *lock, LockKind kind, const std::source_location &site);
  void Released(const void *lock);
  // Declares the order a subsystem documents (first before second) as if a
  // thread had taken them so: taking first while holding second is then an
  // inversion from the start, not only after both orders were seen.
  void Declare(const void *first, LockKind firstKind, const void *second, LockKind secondKind,
               const std::source_location &site);
  // A (re)initialised lock is a new one; initialising a held lock is a bug check.
  void Initialized(const void *lock, LockKind kind, const std::source_location &site);
  // Pool [begin, begin + bytes) is being freed: a lock held in it is a bug
  // check, the others are forgotten.
  void Freeing(const void *begin, size_t bytes, const std::source_location &site);

  // Locks the calling thread holds, and a description of those after the
  // first `keep` ("fast mutex 0x… acquired at file:line; …").
  uint32_t HeldByCurrentThread() const;
  std::string DescribeHeldByCurrentThread(uint32_t keep) const;
  // "thread 'name', acquired at file:line", or empty when nobody holds it.
  std::string DescribeOwner(const void *lock) const;

  // How long a spin lock may be spun on before its owner is declared stuck.
  std::chrono::milliseconds SpinTimeout() const { return std::chrono::milliseconds(m_spinTimeoutMs.load()); }
  void SetSpinTimeout(std::chrono::milliseconds timeout) { m_spinTimeoutMs = timeout.count(); }

  // Machine boot: no locks, no order, the default spin time-out.
  void Reset();

 private:
  struct Edge {
    std::source_location firstAt;  // where the earlier lock was taken
    std::source_location thenAt;   // where this one was taken while holding it
    const SimThread *thread;
  };
  struct Node {
    LockKind kind;
    const SimThread *owner = nullptr;
    std::source_location acquiredAt;
    std::map<uintptr_t, Edge> after;  // locks taken while this one was held
    std::vector<uintptr_t> before;    // locks held when this one was taken
  };

  Node &NodeLocked(uintptr_t lock, LockKind kind);
  void ForgetLocked(uintptr_t lock);
  bool PathLocked(uintptr_t from, uintptr_t to, std::vector<uintptr_t> *path) const;
  std::string DescribeInversionLocked(uintptr_t held, uintptr_t taking, const std::vector<uintptr_t> &path,
                                      const std::source_location &site) const;
  std::string NameLocked(uintptr_t lock) const;

  mutable std::mutex m_lock;
  std::map<uintptr_t, Node> m_nodes;  // ordered, so a freed block's locks are found by range
  std::unordered_map<const SimThread *, std::vector<uintptr_t>> m_held;  // in acquisition order
  static constexpr int64_t kDefaultSpinTimeoutMs = 5000;
  std::atomic<int64_t> m_spinTimeoutMs{kDefaultSpinTimeoutMs};
};

}  // namespace winsim
