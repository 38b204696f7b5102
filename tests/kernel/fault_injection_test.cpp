// Low-resources simulation: the chosen allocation of the chosen call sites
// and tags fails, counted from when the plan is armed; a random plan is
// reproducible from its seed, which a bug-check report names.
#include <gtest/gtest.h>

#include <vector>

#include "winsim/kernel/fault_injection.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/pool.h"
#include "winsim/machine.h"

using namespace winsim;

namespace {

constexpr ULONG kTagA = MAKEFOURCC_TAG('F', 'l', 't', 'A');
constexpr ULONG kTagB = MAKEFOURCC_TAG('F', 'l', 't', 'B');

// Allocates `count` blocks; true for each that succeeded. Frees them.
std::vector<bool> Attempts(int count, ULONG tag = kTagA) {
  std::vector<bool> results;
  for (int i = 0; i < count; ++i) {
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
    results.push_back(block != nullptr);
    if (block != nullptr) ExFreePoolWithTag(block, tag);
  }
  return results;
}

TEST(AllocationFaults, TheNthCountedAllocationFailsAndOnlyIt) {
  Machine machine;
  Attempts(5);  // before arming: not counted
  machine.ArmAllocationFaults({.failNth = 3});
  EXPECT_EQ(Attempts(5), (std::vector<bool>{true, true, false, true, true}));
  EXPECT_EQ(AllocationFaults::Instance().Counted(), 5u);
  EXPECT_EQ(AllocationFaults::Instance().Failed(), 1u);
  machine.DisarmAllocationFaults();
  EXPECT_EQ(Attempts(3), (std::vector<bool>{true, true, true}));
}

TEST(AllocationFaults, OnlyChosenSitesAndTagsCount) {
  Machine machine;
  machine.ArmAllocationFaults({.tags = {kTagB}, .failNth = 1});
  EXPECT_EQ(Attempts(2, kTagA), (std::vector<bool>{true, true}));
  EXPECT_EQ(Attempts(2, kTagB), (std::vector<bool>{false, true}));

  // IRPs come from pool under the I/O manager's tag, at the caller's line.
  machine.ArmAllocationFaults({.sites = {"fault_injection_test.cpp"}, .tags = {kIrpTag}, .failNth = 1});
  EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
  PIRP irp = IoAllocateIrp(1, FALSE);
  EXPECT_NE(irp, nullptr);
  IoFreeIrp(irp);

  // So do MDL mappings that may fail, under their own tag.
  machine.ArmAllocationFaults({.tags = {kMappingTag}, .failNth = 1});
  UCHAR buffer[64];
  PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
  MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer);
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);

  // Lines elsewhere (the kernel's own allocations) never count.
  machine.ArmAllocationFaults({.sites = {"no_such_file.cpp"}, .failNth = 1});
  EXPECT_EQ(Attempts(2), (std::vector<bool>{true, true}));
  machine.ArmAllocationFaults({.excludedSites = {"fault_injection_test.cpp"}, .failNth = 1});
  EXPECT_EQ(Attempts(2), (std::vector<bool>{true, true}));
  EXPECT_EQ(AllocationFaults::Instance().Counted(), 0u);
}

TEST(AllocationFaults, ARandomPlanRepeatsForItsSeed) {
  Machine machine;
  auto run = [&machine](uint64_t seed) {
    machine.ArmAllocationFaults({.probability = 0.5, .seed = seed});
    return Attempts(64);
  };
  std::vector<bool> first = run(42);
  EXPECT_EQ(run(42), first);
  EXPECT_NE(run(43), first);
  uint64_t failed = AllocationFaults::Instance().Failed();
  EXPECT_GT(failed, 8u);
  EXPECT_LT(failed, 56u);
}

TEST(AllocationFaults, AMachineOptionArmsThePlanOnceBooted) {
  Machine machine(MachineOptions{.allocationFaults = AllocationFaultPlan{.failNth = 2}});
  EXPECT_EQ(AllocationFaults::Instance().Counted(), 0u) << "boot allocations were counted";
  EXPECT_EQ(Attempts(3), (std::vector<bool>{true, false, true}));
}

TEST(AllocationFaultsDeath, TheBugCheckReportNamesThePlanAndItsSeed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        Machine machine;
        machine.ArmAllocationFaults({.probability = 0.25, .seed = 1234});
        Attempts(16);
        ExFreePoolWithTag(reinterpret_cast<PVOID>(0x1000), kTagA);
      },
      "BAD_POOL_CALLER.*\n.*\n.*\n.*\n.*allocation faults armed: each fails with p=0.25, seed 1234; 16 counted, "
      "[0-9]+ failed, the last: allocation [0-9]+ \\(tag 'FltA', 8 bytes\\) at .*fault_injection_test.cpp");
}

}  // namespace
