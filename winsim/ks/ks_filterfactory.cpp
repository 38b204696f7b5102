// Filter factories: one per filter descriptor a minidriver publishes, each
// with a device interface per category of the descriptor under the device's
// PDO. Its filters (ks_filter.cpp) are its children.
#include <cstring>

#include "winsim/kernel/debug_log.h"
#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/pnp_text.h"
#include "winsim/ks/ks_objects.h"
#include "winsim/ks/ks_residency.h"

namespace winsim::ks {
namespace {

PWSTR CopyString(PCWSTR text) {
  if (text == nullptr) return nullptr;
  size_t length = 0;
  while (text[length] != u'\0') ++length;
  auto *copy = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, (length + 1) * sizeof(WCHAR), kStringTag));
  if (copy != nullptr) std::memcpy(copy, text, (length + 1) * sizeof(WCHAR));
  return copy;
}

void SetInterfacesState(FactoryObject *factory, bool enable) {
  for (ULONG i = 0; i < factory->linkCount; ++i) {
    if (factory->links[i].Buffer != nullptr) IoSetDeviceInterfaceState(&factory->links[i], enable ? TRUE : FALSE);
  }
  factory->interfacesEnabled = enable ? TRUE : FALSE;
}

// One interface per category, under the reference string; the links stay
// with the factory.
NTSTATUS RegisterInterfaces(FactoryObject *factory, DeviceObject *device) {
  const KSFILTER_DESCRIPTOR *descriptor = factory->pub.FilterDescriptor;
  if (descriptor->CategoriesCount == 0) return STATUS_SUCCESS;
  if (descriptor->Categories == nullptr) return STATUS_INVALID_PARAMETER;
  factory->links = static_cast<PUNICODE_STRING>(
      ExAllocatePoolWithTag(PagedPool, descriptor->CategoriesCount * sizeof(UNICODE_STRING), kStringTag));
  if (factory->links == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(factory->links, 0, descriptor->CategoriesCount * sizeof(UNICODE_STRING));
  factory->linkCount = descriptor->CategoriesCount;
  UNICODE_STRING reference;
  RtlInitUnicodeString(&reference, factory->referenceString);
  for (ULONG i = 0; i < descriptor->CategoriesCount; ++i) {
    NTSTATUS status = IoRegisterDeviceInterface(device->pub.PhysicalDeviceObject, &descriptor->Categories[i],
                                                factory->referenceString != nullptr ? &reference : nullptr,
                                                &factory->links[i]);
    if (!NT_SUCCESS(status)) return status;
  }
  SetInterfacesState(factory, true);
  return STATUS_SUCCESS;
}

// Without a reference string of its own a factory's create item is named by
// its descriptor's reference GUID ("{...}"); NULL when it has neither.
PWSTR ReferenceStringOf(const KSFILTER_DESCRIPTOR *descriptor, PWSTR refString) {
  if (refString != nullptr) return CopyString(refString);
  if (descriptor->ReferenceGuid == nullptr) return nullptr;
  std::u16string text = winsim::pnp::GuidText(*descriptor->ReferenceGuid);
  return CopyString(text.c_str());
}

bool SameReference(PCWSTR a, PCWSTR b) {
  if (a == nullptr || b == nullptr) return a == b;
  size_t i = 0;
  for (; a[i] != u'\0' && b[i] != u'\0'; ++i) {
    if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
  }
  return a[i] == b[i];
}

// Two factories of one device with the same create item would share one
// path: a create could not tell them apart.
bool ReferenceTaken(DeviceObject *device, const FactoryObject *factory) {
  for (ObjectHeader *child = FirstChild(&device->header); child != nullptr; child = NextSibling(child)) {
    auto *other = reinterpret_cast<FactoryObject *>(child);
    if (child->type != KsObjectTypeFilterFactory || other == factory) continue;
    if (SameReference(other->referenceString, factory->referenceString)) return true;
  }
  return false;
}

}  // namespace

void DestroyFactory(FactoryObject *factory, const std::source_location &site) {
  if (factory->interfacesEnabled) SetInterfacesState(factory, false);
  while (ObjectHeader *child = FirstChild(&factory->header)) {
    DestroyFilter(reinterpret_cast<FilterObject *>(child), site);
  }
  Unlink(&factory->header, site);
  if (factory->pub.Bag != nullptr) FreeBag(factory->pub.Bag, site);
  for (ULONG i = 0; i < factory->linkCount; ++i) RtlFreeUnicodeString(&factory->links[i]);
  if (factory->links != nullptr) ExFreePoolWithTag(factory->links, kStringTag);
  if (factory->referenceString != nullptr) ExFreePoolWithTag(factory->referenceString, kStringTag);
  ExFreePoolWithTag(factory, kFactoryTag);
}

void DestroyFactories(DeviceObject *device, const std::source_location &site) {
  while (ObjectHeader *child = FirstChild(&device->header)) {
    DestroyFactory(reinterpret_cast<FactoryObject *>(child), site);
  }
}

void DisableFactoryInterfaces(DeviceObject *device) {
  for (ObjectHeader *child = FirstChild(&device->header); child != nullptr; child = NextSibling(child)) {
    auto *factory = reinterpret_cast<FactoryObject *>(child);
    if (child->type == KsObjectTypeFilterFactory && factory->interfacesEnabled) SetInterfacesState(factory, false);
  }
}

}  // namespace winsim::ks

using namespace winsim::ks;

NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject, const KSFILTER_DESCRIPTOR *Descriptor, PWSTR RefString,
                               PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG CreateItemFlags,
                               PFNKSFILTERFACTORYPOWER SleepCallback, PFNKSFILTERFACTORYPOWER WakeCallback,
                               PKSFILTERFACTORY *FilterFactory, const std::source_location &winsimSite) {
  (void)SecurityDescriptor;
  winsim::RequirePassive("KsCreateFilterFactory", winsimSite);
  if (FilterFactory != nullptr) *FilterFactory = nullptr;
  auto *device = DeviceFromFdo(DeviceObject);
  if (device == nullptr || Descriptor == nullptr) return STATUS_INVALID_PARAMETER;
  RequireResidentDescriptor(Descriptor, winsimSite);
  auto *factory = AllocateObject<FactoryObject>(kFactoryTag);
  if (factory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  InitializeHeader(&factory->header, KsObjectTypeFilterFactory, &device->header, device);
  factory->pub.FilterDescriptor = Descriptor;
  factory->createItemFlags = CreateItemFlags;
  factory->sleepCallback = SleepCallback;
  factory->wakeCallback = WakeCallback;
  Link(&factory->header);
  NTSTATUS status = AllocateBag(device, &factory->pub.Bag);
  if (NT_SUCCESS(status) && (RefString != nullptr || Descriptor->ReferenceGuid != nullptr)) {
    factory->referenceString = ReferenceStringOf(Descriptor, RefString);
    if (factory->referenceString == nullptr) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status) && ReferenceTaken(device, factory)) status = STATUS_OBJECT_NAME_COLLISION;
  if (NT_SUCCESS(status)) status = RegisterInterfaces(factory, device);
  if (!NT_SUCCESS(status)) {
    DestroyFactory(factory);
    return status;
  }
  if (FilterFactory != nullptr) *FilterFactory = &factory->pub;
  return STATUS_SUCCESS;
}

namespace {

FactoryObject *LiveFactory(PKSFILTERFACTORY factory, const char *api, const std::source_location &site) {
  return reinterpret_cast<FactoryObject *>(LiveObject(factory, KsObjectTypeFilterFactory, api, site));
}

}  // namespace

NTSTATUS KsFilterFactorySetDeviceClassesState(PKSFILTERFACTORY FilterFactory, BOOLEAN NewState,
                                              const std::source_location &winsimSite) {
  auto *factory = LiveFactory(FilterFactory, "KsFilterFactorySetDeviceClassesState", winsimSite);
  if (factory == nullptr) return STATUS_INVALID_PARAMETER;
  SetInterfacesState(factory, NewState != FALSE);
  return STATUS_SUCCESS;
}

PUNICODE_STRING KsFilterFactoryGetSymbolicLink(PKSFILTERFACTORY FilterFactory, const std::source_location &winsimSite) {
  auto *factory = LiveFactory(FilterFactory, "KsFilterFactoryGetSymbolicLink", winsimSite);
  if (factory == nullptr || factory->linkCount == 0) return nullptr;
  return &factory->links[0];
}

NTSTATUS KsFilterFactoryUpdateCacheData(PKSFILTERFACTORY FilterFactory, const KSFILTER_DESCRIPTOR *FilterDescriptor,
                                        const std::source_location &winsimSite) {
  (void)FilterDescriptor;
  return LiveFactory(FilterFactory, "KsFilterFactoryUpdateCacheData", winsimSite) != nullptr
             ? STATUS_SUCCESS
             : STATUS_INVALID_PARAMETER;
}

NTSTATUS KsFreeObjectCreateItemsByContext(KSDEVICE_HEADER Header, PVOID Context,
                                          const std::source_location &winsimSite) {
  auto *factory = reinterpret_cast<FactoryObject *>(
      LiveObject(Context, KsObjectTypeFilterFactory, "KsFreeObjectCreateItemsByContext", winsimSite));
  if (Header == nullptr || factory == nullptr || factory->header.device != Header) return STATUS_OBJECT_NAME_NOT_FOUND;
  DestroyFactory(factory, winsimSite);
  return STATUS_SUCCESS;
}
