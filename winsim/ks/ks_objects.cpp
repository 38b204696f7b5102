#include "winsim/ks/ks_objects.h"

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"

#include <cstdint>
#include <string>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace winsim::ks {
namespace {

constexpr ULONG kHeaderSignature = MAKEFOURCC_TAG('K', 's', 'O', 'b');

// Live objects and the functional device objects of live devices.
struct ObjectTable {
  std::mutex lock;
  std::unordered_set<const ObjectHeader *> live;
  std::unordered_map<PDEVICE_OBJECT, DeviceObject *> fdos;
};

ObjectTable &Objects() {
  static ObjectTable registry;
  return registry;
}

const ObjectHeader *CandidateHeader(const void *object) {
  return reinterpret_cast<const ObjectHeader *>(reinterpret_cast<uintptr_t>(object) - kPublicOffset);
}

}  // namespace

ObjectHeader *HeaderOf(const void *object) {
  if (object == nullptr) return nullptr;
  const ObjectHeader *candidate = CandidateHeader(object);
  ObjectTable &registry = Objects();
  std::lock_guard<std::mutex> guard(registry.lock);
  if (registry.live.count(candidate) == 0) return nullptr;
  return const_cast<ObjectHeader *>(candidate);
}

ObjectHeader *HeaderOf(const void *object, KSOBJECTTYPE type) {
  ObjectHeader *header = HeaderOf(object);
  return header != nullptr && header->type == type ? header : nullptr;
}

ObjectHeader *LiveObject(const void *object, const char *api, const std::source_location &site) {
  if (object == nullptr) return nullptr;
  if (ObjectHeader *header = HeaderOf(object)) return header;
  if (std::optional<FreedObject> freed = FreedObjects::Instance().Find(object)) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             std::string(api) + " on " + DescribeFreed(object, *freed) + ": the caller kept a stale pointer", site);
  }
  return nullptr;
}

ObjectHeader *LiveObject(const void *object, KSOBJECTTYPE type, const char *api, const std::source_location &site) {
  ObjectHeader *header = LiveObject(object, api, site);
  return header != nullptr && header->type == type ? header : nullptr;
}

DeviceObject *LiveDevice(PKSDEVICE device, const char *api, const std::source_location &site) {
  return reinterpret_cast<DeviceObject *>(LiveObject(device, KsObjectTypeDevice, api, site));
}

const char *ObjectKindName(KSOBJECTTYPE type) {
  switch (type) {
    case KsObjectTypeDevice: return "device";
    case KsObjectTypeFilterFactory: return "filter factory";
    case KsObjectTypeFilter: return "filter";
    case KsObjectTypePin: return "pin";
  }
  return "AVStream object";
}

DeviceObject *DeviceOf(PKSDEVICE device) {
  return reinterpret_cast<DeviceObject *>(HeaderOf(device, KsObjectTypeDevice));
}

void InitializeHeader(ObjectHeader *header, KSOBJECTTYPE type, ObjectHeader *parent, DeviceObject *device) {
  header->signature = kHeaderSignature;
  header->type = type;
  header->parent = parent;
  header->device = device;
  InitializeListHead(&header->children);
  InitializeListHead(&header->sibling);
  InitializeEventList(&header->events);
}

void Link(ObjectHeader *header) {
  ObjectTable &registry = Objects();
  std::lock_guard<std::mutex> guard(registry.lock);
  registry.live.insert(header);
  if (header->parent != nullptr) InsertTailList(&header->parent->children, &header->sibling);
  if (header->type == KsObjectTypeDevice) {
    auto *device = reinterpret_cast<DeviceObject *>(header);
    registry.fdos[device->pub.FunctionalDeviceObject] = device;
  }
}

void Unlink(ObjectHeader *header, const std::source_location &site) {
  ReleaseRuntimeState(header);
  DetachEvents(header);
  ObjectTable &registry = Objects();
  std::lock_guard<std::mutex> guard(registry.lock);
  registry.live.erase(header);
  FreedObjects::Instance().Remember(PublicOf(header), ObjectKindName(header->type), site);
  if (header->parent != nullptr) {
    RemoveEntryList(&header->sibling);
    InitializeListHead(&header->sibling);
  }
  if (header->type == KsObjectTypeDevice) {
    auto *device = reinterpret_cast<DeviceObject *>(header);
    registry.fdos.erase(device->pub.FunctionalDeviceObject);
  }
  header->signature = 0;
}

ObjectHeader *NextSibling(ObjectHeader *header) {
  ObjectTable &registry = Objects();
  std::lock_guard<std::mutex> guard(registry.lock);
  if (header->parent == nullptr) return nullptr;
  PLIST_ENTRY next = header->sibling.Flink;
  if (next == &header->parent->children || next == &header->sibling) return nullptr;
  return CONTAINING_RECORD(next, ObjectHeader, sibling);
}

void RequireDeviceMutex(DeviceObject *device, const char *api, const std::source_location &site) {
  if (device != nullptr && __atomic_load_n(&device->mutexOwner, __ATOMIC_ACQUIRE) == KeGetCurrentThread()) return;
  BugCheck(BugCode::kDriverVerifierDetectedViolation,
           std::string(api) + " walks the filter factories and filters of a device by a thread that does not hold " +
               "its device mutex (KsAcquireDevice)",
           site);
}

ObjectHeader *FirstChild(ObjectHeader *parent) {
  ObjectTable &registry = Objects();
  std::lock_guard<std::mutex> guard(registry.lock);
  if (IsListEmpty(&parent->children)) return nullptr;
  return CONTAINING_RECORD(parent->children.Flink, ObjectHeader, sibling);
}

DeviceObject *DeviceFromFdo(PDEVICE_OBJECT fdo) {
  ObjectTable &registry = Objects();
  std::lock_guard<std::mutex> guard(registry.lock);
  auto it = registry.fdos.find(fdo);
  return it == registry.fdos.end() ? nullptr : it->second;
}

}  // namespace winsim::ks

using namespace winsim::ks;

PVOID KsGetParent(PVOID Object, const std::source_location &winsimSite) {
  ObjectHeader *header = LiveObject(Object, "KsGetParent", winsimSite);
  return header != nullptr && header->parent != nullptr ? PublicOf(header->parent) : nullptr;
}

// A device's children are its filter factories, a factory's its filters:
// both lists change only under the device mutex, so walking them requires it.
PVOID KsGetFirstChild(PVOID Object, const std::source_location &winsimSite) {
  ObjectHeader *header = LiveObject(Object, "KsGetFirstChild", winsimSite);
  if (header == nullptr) return nullptr;
  if (header->type == KsObjectTypeDevice || header->type == KsObjectTypeFilterFactory) {
    RequireDeviceMutex(header->device, "KsGetFirstChild", winsimSite);
  }
  ObjectHeader *child = FirstChild(header);
  return child != nullptr ? PublicOf(child) : nullptr;
}

PVOID KsGetNextSibling(PVOID Object, const std::source_location &winsimSite) {
  ObjectHeader *header = LiveObject(Object, "KsGetNextSibling", winsimSite);
  if (header == nullptr) return nullptr;
  if (header->type == KsObjectTypeFilterFactory || header->type == KsObjectTypeFilter) {
    RequireDeviceMutex(header->device, "KsGetNextSibling", winsimSite);
  }
  ObjectHeader *next = NextSibling(header);
  return next != nullptr ? PublicOf(next) : nullptr;
}

PKSDEVICE KsGetDevice(PVOID Object, const std::source_location &winsimSite) {
  ObjectHeader *header = LiveObject(Object, "KsGetDevice", winsimSite);
  return header != nullptr && header->device != nullptr ? &header->device->pub : nullptr;
}

PKSDEVICE KsGetDeviceForDeviceObject(PDEVICE_OBJECT FunctionalDeviceObject) {
  DeviceObject *device = DeviceFromFdo(FunctionalDeviceObject);
  return device != nullptr ? &device->pub : nullptr;
}
