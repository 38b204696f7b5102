// Low-resources simulation, as Driver Verifier's: allocations of the driver
// under test fail on purpose, so its failure paths run. Every allocation the
// kernel hands a driver comes from winsim's pool (IRPs under 'Irp ', their
// system buffers under 'IoBf', MDLs under 'Mdl ', work items under 'IoWk',
// device objects under 'Devi', lookaside misses under the list's tag), so one
// gate in the pool covers them all; MDL mappings that may fail
// (MmGetSystemAddressForMdlSafe) count under 'Map '.
//
// Which allocations count is chosen by call site (every winsim API records
// the driver line that called it, and passes it on to the pool) and by tag:
// allocations the kernel or ks.sys make on their own behalf have their own
// sites and are never failed, as Verifier fails only the verified driver's.
// Counting starts when the plan is armed.
#pragma once
#include <wdm.h>

#include <cstdint>
#include <mutex>
#include <random>
#include <source_location>
#include <string>
#include <vector>

namespace winsim {

struct AllocationFaultPlan {
  // An allocation counts when its call site's file path contains one of
  // `sites` (empty: any site) and none of `excludedSites`...
  std::vector<std::string> sites;
  std::vector<std::string> excludedSites;
  // ...and its tag is one of `tags` (empty: any tag).
  std::vector<ULONG> tags;
  // The failNth-th counted allocation fails (1: the first; 0: none by count).
  uint64_t failNth = 0;
  // Each counted allocation fails with this probability, drawn from a
  // generator seeded with `seed` (the bug-check report names it).
  double probability = 0;
  uint64_t seed = 0;
};

class AllocationFaults {
 public:
  static AllocationFaults &Instance();

  void Arm(const AllocationFaultPlan &plan);
  void Disarm();
  bool Armed() const;

  // Counts the allocation when it matches the plan; true when it is to fail.
  bool ShouldFail(ULONG tag, SIZE_T bytes, const std::source_location &site);

  // Allocations counted and failed since the plan was armed.
  uint64_t Counted() const;
  uint64_t Failed() const;
  // The plan and what it failed, for bug-check reports; empty when disarmed.
  std::string Describe() const;

 private:
  bool MatchesLocked(ULONG tag, const std::source_location &site) const;

  mutable std::mutex m_lock;
  bool m_armed = false;
  AllocationFaultPlan m_plan;
  std::mt19937_64 m_random;
  uint64_t m_counted = 0;
  uint64_t m_failed = 0;
  std::string m_lastFailure;
};

}  // namespace winsim
