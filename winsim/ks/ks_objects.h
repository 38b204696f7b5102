// winsim's AVStream objects: each public object (KSDEVICE, KSFILTERFACTORY,
// later KSFILTER and KSPIN) sits at a fixed offset after a header that ties
// it into the object tree (parent, children, siblings), carries its event
// list and names its type. The objects live in pool under ks tags, so an
// object that outlives its device shows in the leak report.
//
// Locking: the tree links and the registry of live objects are guarded by
// one internal lock, never held while calling a minidriver; a device's event
// list by its own spin lock.
#pragma once
#include <wdm.h>
#include <ks.h>

#include <source_location>

#include "winsim/ks/ks_freed_objects.h"

namespace winsim::ks {

inline constexpr ULONG kDeviceTag = MAKEFOURCC_TAG('K', 'S', 'd', 'v');
inline constexpr ULONG kFactoryTag = MAKEFOURCC_TAG('K', 'S', 'f', 'f');
inline constexpr ULONG kFilterTag = MAKEFOURCC_TAG('K', 'S', 'f', 'i');
inline constexpr ULONG kBagTag = MAKEFOURCC_TAG('K', 'S', 'b', 'g');
inline constexpr ULONG kBagEntryTag = MAKEFOURCC_TAG('K', 'S', 'b', 'e');
inline constexpr ULONG kStringTag = MAKEFOURCC_TAG('K', 'S', 's', 't');
inline constexpr ULONG kEventDataTag = MAKEFOURCC_TAG('K', 'S', 'e', 'v');
inline constexpr ULONG kPinTag = MAKEFOURCC_TAG('K', 'S', 'p', 'i');
inline constexpr ULONG kRuntimeTag = MAKEFOURCC_TAG('K', 'S', 'r', 't');
inline constexpr ULONG kRequestTag = MAKEFOURCC_TAG('K', 'S', 'r', 'q');
inline constexpr ULONG kStreamTag = MAKEFOURCC_TAG('K', 'S', 's', 'm');
inline constexpr ULONG kEventEntryTag = MAKEFOURCC_TAG('K', 'S', 'e', 'e');

struct EventList {
  KSPIN_LOCK lock;
  LIST_ENTRY entries;  // KSEVENT_ENTRY.ListEntry
};

struct DeviceObject;

struct ObjectHeader {
  ULONG signature;
  KSOBJECTTYPE type;
  ObjectHeader *parent;
  DeviceObject *device;
  LIST_ENTRY children;  // the children's sibling links, in creation order
  LIST_ENTRY sibling;
  EventList events;
};

// Every object type puts its public part right after the header, so a
// public pointer and its header convert by a fixed offset.
template <class Public>
struct ObjectLayout {
  ObjectHeader header;
  Public pub;
};
inline constexpr size_t kPublicOffset = offsetof(ObjectLayout<KSDEVICE>, pub);
static_assert(offsetof(ObjectLayout<KSFILTERFACTORY>, pub) == kPublicOffset &&
                  offsetof(ObjectLayout<KSFILTER>, pub) == kPublicOffset &&
                  offsetof(ObjectLayout<KSPIN>, pub) == kPublicOffset,
              "every AVStream object's public part sits at the same offset");

struct DeviceObject {
  ObjectHeader header;
  KSDEVICE pub;
  // The device mutex (KsAcquireDevice): a synchronization event plus its
  // owner, so a second acquisition by the owner is caught.
  KEVENT mutex;
  PKTHREAD mutexOwner;
  const char *mutexFile;  // where the outstanding acquisition was made
  ULONG mutexLine;
  // PostStart runs from a system worker after START_DEVICE; PnP requests
  // that follow wait for postStartIdle.
  KEVENT postStartIdle;
  PIO_WORKITEM postStartItem;
  NTSTATUS postStartStatus;
  BOOLEAN postStartRan;
  BOOLEAN staticFactoriesCreated;  // once per device, not again after a stop
  BOOLEAN surpriseRemoved;
  BOOLEAN capabilitiesKnown;
  DEVICE_CAPABILITIES capabilities;  // as the stack answered QUERY_CAPABILITIES
  LIST_ENTRY bags;                   // Bag.deviceLink: every bag of the device
};
static_assert(offsetof(DeviceObject, pub) == kPublicOffset, "DeviceObject layout");

struct FactoryObject {
  ObjectHeader header;
  KSFILTERFACTORY pub;
  ULONG linkCount;
  PUNICODE_STRING links;  // one registered interface per category, pool
  PWSTR referenceString;  // pool copy; NULL for none
  ULONG createItemFlags;
  PFNKSFILTERFACTORYPOWER sleepCallback;
  PFNKSFILTERFACTORYPOWER wakeCallback;
  BOOLEAN interfacesEnabled;
};
static_assert(offsetof(FactoryObject, pub) == kPublicOffset, "FactoryObject layout");

struct FilterRuntime;  // ks_mutexes.h: the filter's mutexes, made on first use

struct FilterObject {
  ObjectHeader header;
  KSFILTER pub;
  FilterRuntime *runtime;
};
static_assert(offsetof(FilterObject, pub) == kPublicOffset, "FilterObject layout");

// The header of a public object pointer, or NULL for anything that is not a
// live AVStream object (checked against the registry, so any pointer is safe).
ObjectHeader *HeaderOf(const void *object);
ObjectHeader *HeaderOf(const void *object, KSOBJECTTYPE type);
// The same for an object a caller handed to api: a pointer to an object that
// was freed is a bug check naming the object and where it was freed, found
// before anything behind the pointer is read. NULL for any other non-object
// (or, with a type, for a live object of another type).
ObjectHeader *LiveObject(const void *object, const char *api, const std::source_location &site);
ObjectHeader *LiveObject(const void *object, KSOBJECTTYPE type, const char *api, const std::source_location &site);
DeviceObject *LiveDevice(PKSDEVICE device, const char *api, const std::source_location &site);
// "device", "filter factory", "filter", "pin".
const char *ObjectKindName(KSOBJECTTYPE type);
inline void *PublicOf(ObjectHeader *header) { return reinterpret_cast<PUCHAR>(header) + kPublicOffset; }
DeviceObject *DeviceOf(PKSDEVICE device);

// Makes a new object live under parent (NULL for a device), appended to the
// parent's children; Unlink takes it out of the tree and the registry and
// remembers it as freed at site (its memory goes right after).
void InitializeHeader(ObjectHeader *header, KSOBJECTTYPE type, ObjectHeader *parent, DeviceObject *device);
void Link(ObjectHeader *header);
void Unlink(ObjectHeader *header, const std::source_location &site = std::source_location::current());
// The first child, or the next sibling under the same parent; NULL at the
// end. For winsim's own walks: the minidriver's go through the checked
// KsGetFirstChild/KsGetNextSibling.
ObjectHeader *FirstChild(ObjectHeader *parent);
ObjectHeader *NextSibling(ObjectHeader *header);

// Bug check unless the calling thread holds the device's mutex: AVStream's
// object tree from the device down to its filters is stable only then.
void RequireDeviceMutex(DeviceObject *device, const char *api, const std::source_location &site);

// Bags (ks_objectbag.cpp). AllocateBag adds the bag to the device's list;
// FreeBag remembers it as freed at site.
NTSTATUS AllocateBag(DeviceObject *device, KSOBJECT_BAG *bag);
void FreeBag(KSOBJECT_BAG bag, const std::source_location &site = std::source_location::current());

// Filters (ks_filter.cpp): frees one that is closed, or still open when its
// factory goes (the device is being torn down); site is what made it go.
void DestroyFilter(FilterObject *filter, const std::source_location &site = std::source_location::current());

// Filter factories (ks_filterfactory.cpp): destroys one (interfaces
// disabled, its filters and bag freed) and every factory of a device.
void DestroyFactory(FactoryObject *factory, const std::source_location &site = std::source_location::current());
void DestroyFactories(DeviceObject *device, const std::source_location &site = std::source_location::current());
void DisableFactoryInterfaces(DeviceObject *device);

// An object leaving the tree (Unlink): what the pin runtime keeps for it
// goes with it (a filter's mutexes, events enabled through IOCTL_KS_ENABLE_EVENT).
void ReleaseRuntimeState(ObjectHeader *header);

// Events (ks_events.cpp): sets up an object's list, and at destruction
// unlinks entries still enabled on it.
void InitializeEventList(EventList *list);
void DetachEvents(ObjectHeader *header);

// The device of a functional device object AVStream created, or NULL.
DeviceObject *DeviceFromFdo(PDEVICE_OBJECT fdo);

// Pool-backed construction of the ks objects and bags: zeroed, tagged, and
// no longer taken for a freed object wherever it lies.
template <class T>
T *AllocateObject(ULONG tag, const std::source_location &site = std::source_location::current()) {
  void *memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(T), tag, site);
  if (memory == nullptr) return nullptr;
  __builtin_memset(memory, 0, sizeof(T));
  FreedObjects::Instance().ForgetRange(memory, sizeof(T));
  return static_cast<T *>(memory);
}

}  // namespace winsim::ks
