#include "winsim/ks/ks_objects.h"

#include <cstdint>
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

void Unlink(ObjectHeader *header) {
  DetachEvents(header);
  ObjectTable &registry = Objects();
  std::lock_guard<std::mutex> guard(registry.lock);
  registry.live.erase(header);
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

PVOID KsGetParent(PVOID Object) {
  ObjectHeader *header = HeaderOf(Object);
  return header != nullptr && header->parent != nullptr ? PublicOf(header->parent) : nullptr;
}

PVOID KsGetFirstChild(PVOID Object) {
  ObjectHeader *header = HeaderOf(Object);
  if (header == nullptr) return nullptr;
  ObjectHeader *child = FirstChild(header);
  return child != nullptr ? PublicOf(child) : nullptr;
}

PVOID KsGetNextSibling(PVOID Object) {
  ObjectHeader *header = HeaderOf(Object);
  if (header == nullptr || header->parent == nullptr) return nullptr;
  ObjectTable &registry = Objects();
  std::lock_guard<std::mutex> guard(registry.lock);
  PLIST_ENTRY next = header->sibling.Flink;
  if (next == &header->parent->children || next == &header->sibling) return nullptr;
  return PublicOf(CONTAINING_RECORD(next, ObjectHeader, sibling));
}

PKSDEVICE KsGetDevice(PVOID Object) {
  ObjectHeader *header = HeaderOf(Object);
  return header != nullptr && header->device != nullptr ? &header->device->pub : nullptr;
}

PKSDEVICE KsGetDeviceForDeviceObject(PDEVICE_OBJECT FunctionalDeviceObject) {
  DeviceObject *device = DeviceFromFdo(FunctionalDeviceObject);
  return device != nullptr ? &device->pub : nullptr;
}
