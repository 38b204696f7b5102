// Object bags: the items an AVStream object owns, freed with it. An item
// may sit in several bags of one device and is freed when the last lets go.
#include <mutex>
#include <string>
#include <unordered_set>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/ks/ks_objects.h"

namespace winsim::ks {
namespace {

struct Bag {
  DeviceObject *device;
  LIST_ENTRY items;       // BagEntry.link, in the order items were added
  LIST_ENTRY deviceLink;  // DeviceObject.bags
};

struct BagEntry {
  LIST_ENTRY link;
  PVOID item;
  PFNKSFREE free;
};

// Bag contents and the set of live bags; never held while an item's free
// routine runs.
std::mutex g_bagLock;
std::unordered_set<Bag *> g_liveBags;

// The bag is looked up, never read, before it is known to be live.
Bag *RequireBag(KSOBJECT_BAG handle, const char *api, const std::source_location &site) {
  auto *bag = static_cast<Bag *>(handle);
  if (g_liveBags.count(bag) != 0) return bag;
  if (std::optional<FreedObject> freed = FreedObjects::Instance().Find(handle)) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             std::string(api) + " on " + DescribeFreed(handle, *freed) + ": the caller kept a stale pointer", site);
  }
  BugCheck(BugCode::kDriverVerifierDetectedViolation,
           std::string(api) + " with " + Hex(handle) + ", which is not a live object bag", site);
}

BagEntry *FindLocked(Bag *bag, PVOID item) {
  for (PLIST_ENTRY link = bag->items.Flink; link != &bag->items; link = link->Flink) {
    auto *entry = CONTAINING_RECORD(link, BagEntry, link);
    if (entry->item == item) return entry;
  }
  return nullptr;
}

// Other bags of the device that hold the item.
ULONG OtherHoldersLocked(Bag *bag, PVOID item) {
  ULONG holders = 0;
  PLIST_ENTRY bags = &bag->device->bags;
  for (PLIST_ENTRY link = bags->Flink; link != bags; link = link->Flink) {
    auto *other = CONTAINING_RECORD(link, Bag, deviceLink);
    if (other != bag && FindLocked(other, item) != nullptr) ++holders;
  }
  return holders;
}

void FreeItem(PVOID item, PFNKSFREE free) {
  if (free != nullptr) {
    free(item);
  } else {
    ExFreePool(item);
  }
}

// Takes the entry out of its bag; returns how many bags still hold the item.
ULONG DetachLocked(Bag *bag, BagEntry *entry) {
  RemoveEntryList(&entry->link);
  return OtherHoldersLocked(bag, entry->item);
}

}  // namespace

NTSTATUS AllocateBag(DeviceObject *device, KSOBJECT_BAG *handle) {
  *handle = nullptr;
  auto *bag = AllocateObject<Bag>(kBagTag);
  if (bag == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  bag->device = device;
  InitializeListHead(&bag->items);
  std::lock_guard<std::mutex> guard(g_bagLock);
  InsertTailList(&device->bags, &bag->deviceLink);
  g_liveBags.insert(bag);
  *handle = bag;
  return STATUS_SUCCESS;
}

// Items go last-added first, as destructors of a C++ object's members would.
void FreeBag(KSOBJECT_BAG handle, const std::source_location &site) {
  auto *bag = static_cast<Bag *>(handle);
  for (;;) {
    BagEntry *entry = nullptr;
    ULONG holders = 0;
    {
      std::lock_guard<std::mutex> guard(g_bagLock);
      if (IsListEmpty(&bag->items)) {
        RemoveEntryList(&bag->deviceLink);
        g_liveBags.erase(bag);
        FreedObjects::Instance().Remember(bag, "object bag", site);
        break;
      }
      entry = CONTAINING_RECORD(bag->items.Blink, BagEntry, link);
      holders = DetachLocked(bag, entry);
    }
    if (holders == 0) FreeItem(entry->item, entry->free);
    ExFreePoolWithTag(entry, kBagEntryTag);
  }
  ExFreePoolWithTag(bag, kBagTag);
}

}  // namespace winsim::ks

using namespace winsim::ks;

NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free,
                              const std::source_location &winsimSite) {
  winsim::RequirePassive("KsAddItemToObjectBag", winsimSite);
  if (Item == nullptr) return STATUS_INVALID_PARAMETER;
  auto *entry = static_cast<BagEntry *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(BagEntry), kBagEntryTag));
  if (entry == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  entry->item = Item;
  entry->free = Free;
  {
    std::lock_guard<std::mutex> guard(g_bagLock);
    Bag *bag = RequireBag(ObjectBag, "KsAddItemToObjectBag", winsimSite);
    if (FindLocked(bag, Item) == nullptr) {
      InsertTailList(&bag->items, &entry->link);
      entry = nullptr;
    }
  }
  if (entry != nullptr) ExFreePoolWithTag(entry, kBagEntryTag);  // already in this bag
  return STATUS_SUCCESS;
}

ULONG KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free,
                                const std::source_location &winsimSite) {
  winsim::RequirePassive("KsRemoveItemFromObjectBag", winsimSite);
  BagEntry *entry = nullptr;
  ULONG holders = 0;
  {
    std::lock_guard<std::mutex> guard(g_bagLock);
    Bag *bag = RequireBag(ObjectBag, "KsRemoveItemFromObjectBag", winsimSite);
    entry = FindLocked(bag, Item);
    if (entry == nullptr) return 0;
    holders = DetachLocked(bag, entry);
  }
  if (holders == 0 && Free) FreeItem(entry->item, entry->free);
  ExFreePoolWithTag(entry, kBagEntryTag);
  return holders;
}

NTSTATUS KsAllocateObjectBag(PKSDEVICE Device, KSOBJECT_BAG *ObjectBag, const std::source_location &winsimSite) {
  winsim::RequirePassive("KsAllocateObjectBag", winsimSite);
  DeviceObject *device = LiveDevice(Device, "KsAllocateObjectBag", winsimSite);
  if (device == nullptr || ObjectBag == nullptr) return STATUS_INVALID_PARAMETER;
  return AllocateBag(device, ObjectBag);
}

void KsFreeObjectBag(KSOBJECT_BAG ObjectBag, const std::source_location &winsimSite) {
  winsim::RequirePassive("KsFreeObjectBag", winsimSite);
  {
    std::lock_guard<std::mutex> guard(g_bagLock);
    RequireBag(ObjectBag, "KsFreeObjectBag", winsimSite);
  }
  FreeBag(ObjectBag, winsimSite);
}
