// MDLs on the host's single address space: a buffer's system address is its
// own, but pages must still be locked (or be nonpaged pool) before they are
// mapped, and unlocked before the MDL is freed.
#include <cstring>
#include <string>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/fault_injection.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/pool.h"

using winsim::BugCheck;
using winsim::BugCode;

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp,
                   const std::source_location &winsimSite) {
  (void)ChargeQuota;
  winsim::RequireAtMostDispatch("IoAllocateMdl", winsimSite);
  SIZE_T bytes = MmSizeOfMdl(VirtualAddress, Length);
  auto mdl = static_cast<PMDL>(winsim::Pool::Instance().Allocate(NonPagedPoolNx, bytes, winsim::kMdlTag, winsimSite));
  if (mdl == nullptr) return nullptr;
  std::memset(mdl, 0, bytes);
  MmInitializeMdl(mdl, VirtualAddress, Length);
  if (Irp != nullptr) {
    if (!SecondaryBuffer) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL *link = &Irp->MdlAddress;
      while (*link != nullptr) link = &(*link)->Next;
      *link = mdl;
    }
  }
  return mdl;
}

void IoFreeMdl(PMDL Mdl, const std::source_location &winsimSite) {
  winsim::RequireAtMostDispatch("IoFreeMdl", winsimSite);
  if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "IoFreeMdl of MDL " + winsim::Hex(Mdl) + " whose pages are still locked", winsimSite);
  }
  winsim::Pool::Instance().Free(Mdl, winsim::kMdlTag, true, winsimSite);
}

void MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
}

void MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation,
                         const std::source_location &winsimSite) {
  (void)AccessMode;
  winsim::RequireAtMostDispatch("MmProbeAndLockPages", winsimSite);
  if (MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "MmProbeAndLockPages of MDL " + winsim::Hex(MemoryDescriptorList) + ", which is locked already",
             winsimSite);
  }
  MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
  if (Operation != IoReadAccess) MemoryDescriptorList->MdlFlags |= MDL_WRITE_OPERATION;
}

void MmUnlockPages(PMDL MemoryDescriptorList, const std::source_location &winsimSite) {
  if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "MmUnlockPages of MDL " + winsim::Hex(MemoryDescriptorList) + ", which is not locked", winsimSite);
  }
  MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_WRITE_OPERATION);
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                   ULONG Priority, const std::source_location &winsimSite) {
  (void)AccessMode;
  (void)CacheType;
  (void)RequestedAddress;
  (void)Priority;
  if (!(MemoryDescriptorList->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "mapping MDL " + winsim::Hex(MemoryDescriptorList) + " whose pages are not locked", winsimSite);
  }
  // A mapping takes system address space, which can run out; the caller
  // asked for NULL rather than a bug check then.
  if (!BugCheckOnFailure &&
      winsim::AllocationFaults::Instance().ShouldFail(winsim::kMappingTag, MmGetMdlByteCount(MemoryDescriptorList),
                                                      winsimSite)) {
    return nullptr;
  }
  MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
  return MemoryDescriptorList->MappedSystemVa;
}

void MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  (void)BaseAddress;
  MemoryDescriptorList->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
}
