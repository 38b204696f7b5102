// Lookaside lists: a bounded cache of equal-sized pool blocks, registered
// with the kernel while initialised.
#include "winsim/kernel/ex_lookaside.h"

#include <map>
#include <mutex>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/sched/scheduler.h"

namespace {

struct Registry {
  std::mutex lock;
  std::map<uintptr_t, std::source_location> lists;  // address -> where it was initialised
};

Registry &Lists() {
  static Registry registry;
  return registry;
}

void Register(PNPAGED_LOOKASIDE_LIST list, const std::source_location &site) {
  Registry &registry = Lists();
  std::unique_lock<std::mutex> guard(registry.lock);
  auto [it, inserted] = registry.lists.try_emplace(reinterpret_cast<uintptr_t>(list), site);
  if (inserted) return;
  std::string detail = "lookaside list " + winsim::Hex(list) + " initialised again; it was initialised at " +
                       winsim::SiteText(it->second) + " and not deleted";
  guard.unlock();
  winsim::BugCheck(winsim::BugCode::kDriverVerifierDetectedViolation, detail, site);
}

void Unregister(PNPAGED_LOOKASIDE_LIST list) {
  Registry &registry = Lists();
  std::lock_guard<std::mutex> guard(registry.lock);
  registry.lists.erase(reinterpret_cast<uintptr_t>(list));
}

constexpr ULONG kLookasideMagic = 0x4C6B4173;  // marks an initialised list
constexpr USHORT kDefaultDepth = 4;

PNPAGED_LOOKASIDE_LIST Checked(PNPAGED_LOOKASIDE_LIST list, const std::source_location &site) {
  if (list->Initialized != kLookasideMagic) {
    winsim::BugCheck(winsim::BugCode::kDriverVerifierDetectedViolation, "lookaside list used before initialisation",
                     site);
  }
  return list;
}

}  // namespace

namespace winsim {

std::vector<LiveObject> LookasideListsIn(uintptr_t begin, uintptr_t end) {
  Registry &registry = Lists();
  std::lock_guard<std::mutex> guard(registry.lock);
  std::vector<LiveObject> live;
  for (auto it = registry.lists.lower_bound(begin); it != registry.lists.end() && it->first < end; ++it) {
    auto *list = reinterpret_cast<const void *>(it->first);
    live.push_back({BugCode::kDriverVerifierDetectedViolation, list,
                    "lookaside list " + Hex(list) + " initialised at " + SiteText(it->second) + " and not deleted"});
  }
  return live;
}

void ResetLookasideLists() {
  Registry &registry = Lists();
  std::lock_guard<std::mutex> guard(registry.lock);
  registry.lists.clear();
}

}  // namespace winsim

void ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                     PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth,
                                     const std::source_location &winsimSite) {
  (void)Flags;
  Register(Lookaside, winsimSite);
  Lookaside->ListHead.Next = nullptr;
  Lookaside->Depth = 0;
  Lookaside->MaximumDepth = Depth != 0 ? Depth : kDefaultDepth;
  Lookaside->TotalAllocates = Lookaside->AllocateMisses = 0;
  Lookaside->TotalFrees = Lookaside->FreeMisses = 0;
  Lookaside->Type = NonPagedPoolNx;
  Lookaside->Tag = Tag;
  // Each cached block doubles as its own list link, so it holds a pointer at least.
  Lookaside->Size = static_cast<ULONG>(Size < sizeof(SINGLE_LIST_ENTRY) ? sizeof(SINGLE_LIST_ENTRY) : Size);
  Lookaside->Allocate = Allocate;
  Lookaside->Free = Free;
  KeInitializeSpinLock(&Lookaside->Lock, winsimSite);
  Lookaside->Initialized = kLookasideMagic;
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, const std::source_location &winsimSite) {
  Checked(Lookaside, winsimSite);
  KIRQL old;
  KeAcquireSpinLock(&Lookaside->Lock, &old, winsimSite);
  ++Lookaside->TotalAllocates;
  PSINGLE_LIST_ENTRY entry = PopEntryList(&Lookaside->ListHead);
  if (entry != nullptr) --Lookaside->Depth;
  if (entry == nullptr) ++Lookaside->AllocateMisses;
  KeReleaseSpinLock(&Lookaside->Lock, old, winsimSite);
  if (entry != nullptr) return entry;
  if (Lookaside->Allocate != nullptr) return Lookaside->Allocate(Lookaside->Type, Lookaside->Size, Lookaside->Tag);
  return ExAllocatePoolWithTag(Lookaside->Type, Lookaside->Size, Lookaside->Tag, winsimSite);
}

void ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry, const std::source_location &winsimSite) {
  Checked(Lookaside, winsimSite);
  KIRQL old;
  KeAcquireSpinLock(&Lookaside->Lock, &old, winsimSite);
  ++Lookaside->TotalFrees;
  bool cached = Lookaside->Depth < Lookaside->MaximumDepth;
  if (cached) {
    PushEntryList(&Lookaside->ListHead, static_cast<PSINGLE_LIST_ENTRY>(Entry));
    ++Lookaside->Depth;
  } else {
    ++Lookaside->FreeMisses;
  }
  KeReleaseSpinLock(&Lookaside->Lock, old, winsimSite);
  if (cached) return;
  if (Lookaside->Free != nullptr) {
    Lookaside->Free(Entry);
  } else {
    ExFreePoolWithTag(Entry, Lookaside->Tag, winsimSite);
  }
}

void ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, const std::source_location &winsimSite) {
  const std::source_location &site = winsimSite;
  Checked(Lookaside, site);
  while (PSINGLE_LIST_ENTRY entry = PopEntryList(&Lookaside->ListHead)) {
    if (Lookaside->Free != nullptr) {
      Lookaside->Free(entry);
    } else {
      ExFreePoolWithTag(entry, Lookaside->Tag, site);
    }
  }
  Lookaside->Depth = 0;
  Lookaside->Initialized = 0;
  Unregister(Lookaside);
}
