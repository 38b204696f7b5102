#include "winsim/ks/ks_filter.h"

#include <string>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/kernel/pnp_manager.h"
#include "winsim/ks/ks_objects.h"

namespace winsim::ks {
namespace {


// Calls a Create or Close dispatch with an IRP of that major function.
NTSTATUS CallDispatch(DeviceObject *device, PFNKSFILTERIRP dispatch, PKSFILTER filter, UCHAR major) {
  if (dispatch == nullptr) return STATUS_SUCCESS;
  PIRP irp = IoAllocateIrp(device->pub.FunctionalDeviceObject->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoSetNextIrpStackLocation(irp);
  IoGetCurrentIrpStackLocation(irp)->MajorFunction = major;
  // ks.sys calls it with the device mutex held; it must return with exactly that.
  const uint32_t locks = LocksHeld();
  NTSTATUS status = dispatch(filter, irp);
  RequireIrqlRestored("the minidriver's filter dispatch", PASSIVE_LEVEL, std::source_location::current(), locks);
  IoFreeIrp(irp);
  return status;
}

const KSFILTER_DISPATCH *DispatchOf(const FilterObject *filter) {
  return filter->pub.Descriptor != nullptr ? filter->pub.Descriptor->Dispatch : nullptr;
}

}  // namespace

void DestroyFilter(FilterObject *filter, const std::source_location &site) {
  Unlink(&filter->header, site);
  if (filter->pub.Bag != nullptr) FreeBag(filter->pub.Bag, site);
  ExFreePoolWithTag(filter, kFilterTag);
}

NTSTATUS OpenFilterInstance(FactoryObject *parent, FilterObject **filter) {
  *filter = nullptr;
  DeviceObject *device = parent->header.device;
  // ks.sys holds creates back while PostStart runs and fails them once it failed.
  KeWaitForSingleObject(&device->postStartIdle, Executive, KernelMode, FALSE, nullptr);
  if (!NT_SUCCESS(device->postStartStatus) && device->postStartStatus != STATUS_PENDING) {
    return STATUS_DEVICE_NOT_READY;
  }
  KsAcquireDevice(&device->pub);
  NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
  FilterObject *object = nullptr;
  if (device->pub.Started && !device->surpriseRemoved) {
    object = AllocateObject<FilterObject>(kFilterTag);
    status = object != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) {
    InitializeHeader(&object->header, KsObjectTypeFilter, &parent->header, device);
    object->pub.Descriptor = parent->pub.FilterDescriptor;
    Link(&object->header);
    status = AllocateBag(device, &object->pub.Bag);
  }
  const KSFILTER_DISPATCH *dispatch = object != nullptr ? DispatchOf(object) : nullptr;
  if (NT_SUCCESS(status) && dispatch != nullptr) {
    status = CallDispatch(device, dispatch->Create, &object->pub, IRP_MJ_CREATE);
  }
  if (!NT_SUCCESS(status) && object != nullptr) DestroyFilter(object);
  KsReleaseDevice(&device->pub);
  if (!NT_SUCCESS(status)) return status;
  *filter = object;
  return STATUS_SUCCESS;
}

void CloseFilterInstance(FilterObject *object, const std::source_location &site) {
  DeviceObject *device = object->header.device;
  KsAcquireDevice(&device->pub);
  const KSFILTER_DISPATCH *dispatch = DispatchOf(object);
  if (dispatch != nullptr) CallDispatch(device, dispatch->Close, &object->pub, IRP_MJ_CLOSE);
  DestroyFilter(object, site);
  KsReleaseDevice(&device->pub);
}

NTSTATUS OpenFilter(PKSFILTERFACTORY factory, PKSFILTER *filter, const std::source_location &site) {
  RequirePassive("opening a filter", site);
  *filter = nullptr;
  auto *parent =
      reinterpret_cast<FactoryObject *>(LiveObject(factory, KsObjectTypeFilterFactory, "opening a filter", site));
  if (parent == nullptr) return STATUS_INVALID_PARAMETER;
  PDEVICE_OBJECT pdo = parent->header.device->pub.PhysicalDeviceObject;
  FilterObject *object = nullptr;
  NTSTATUS status = OpenFilterInstance(parent, &object);
  if (!NT_SUCCESS(status)) return status;
  PnpManager::NoteHandleOpened(pdo);
  *filter = &object->pub;
  return STATUS_SUCCESS;
}

void CloseFilter(PKSFILTER filter, const std::source_location &site) {
  RequirePassive("closing a filter", site);
  auto *object = reinterpret_cast<FilterObject *>(LiveObject(filter, KsObjectTypeFilter, "closing a filter", site));
  if (object == nullptr) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation, "closing " + Hex(filter) + ", which is no open filter", site);
  }
  PDEVICE_OBJECT pdo = object->header.device->pub.PhysicalDeviceObject;
  CloseFilterInstance(object, site);
  // Last: after a surprise removal this may let REMOVE_DEVICE free the device.
  PnpManager::NoteHandleClosed(pdo);
}

}  // namespace winsim::ks
