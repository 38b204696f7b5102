#include "winsim/ks/ks_automation.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "winsim/kernel/bugcheck.h"
#include "winsim/kernel/io_rules.h"
#include "winsim/ks/ks_mutexes.h"
#include "winsim/ks/ks_pin.h"

namespace winsim::ks {
namespace {

struct IrpBindings {
  std::mutex lock;
  std::map<PIRP, ObjectHeader *> objects;
};
IrpBindings &Bindings() {
  static IrpBindings bindings;
  return bindings;
}

PUCHAR CopyIn(const void *user, ULONG size) {
  if (size == 0) return nullptr;
  auto *copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kRequestTag));
  if (copy == nullptr) return nullptr;
  if (user != nullptr) {
    std::memcpy(copy, user, size);
  } else {
    std::memset(copy, 0, size);
  }
  return copy;
}

const KSAUTOMATION_TABLE *TableOf(ObjectHeader *object) {
  if (object->type == KsObjectTypeFilter) {
    const KSFILTER_DESCRIPTOR *descriptor = reinterpret_cast<FilterObject *>(object)->pub.Descriptor;
    return descriptor != nullptr ? descriptor->AutomationTable : nullptr;
  }
  if (object->type == KsObjectTypePin) {
    const KSPIN_DESCRIPTOR_EX *descriptor = reinterpret_cast<PinObject *>(object)->pub.Descriptor;
    return descriptor != nullptr ? descriptor->AutomationTable : nullptr;
  }
  return nullptr;
}

FilterObject *FilterOf(ObjectHeader *object) {
  if (object->type == KsObjectTypePin) return reinterpret_cast<PinObject *>(object)->filter;
  return reinterpret_cast<FilterObject *>(object);
}

const KSFILTER_DESCRIPTOR *FilterDescriptorOf(ObjectHeader *object) {
  if (object->type == KsObjectTypePin) object = object->parent;
  if (object == nullptr || object->type != KsObjectTypeFilter) return nullptr;
  return reinterpret_cast<FilterObject *>(object)->pub.Descriptor;
}

// The node's table for a topology request; *bad when the node does not exist.
const KSAUTOMATION_TABLE *NodeTable(ObjectHeader *object, const CapturedRequest &captured, bool *bad) {
  *bad = true;
  if (captured.requestSize < sizeof(KSP_NODE)) return nullptr;
  const KSFILTER_DESCRIPTOR *descriptor = FilterDescriptorOf(object);
  ULONG node = reinterpret_cast<const KSP_NODE *>(captured.request)->NodeId;
  if (descriptor == nullptr || node >= descriptor->NodeDescriptorsCount || descriptor->NodeDescriptors == nullptr) {
    return nullptr;
  }
  *bad = false;
  ULONG stride = descriptor->NodeDescriptorSize >= sizeof(KSNODE_DESCRIPTOR) ? descriptor->NodeDescriptorSize
                                                                             : sizeof(KSNODE_DESCRIPTOR);
  auto *entry = reinterpret_cast<const KSNODE_DESCRIPTOR *>(reinterpret_cast<const UCHAR *>(descriptor->NodeDescriptors) +
                                                            static_cast<size_t>(node) * stride);
  return entry->AutomationTable;
}

template <class Item>
const Item *ItemAt(const Item *items, ULONG itemSize, ULONG index) {
  ULONG stride = itemSize >= sizeof(Item) ? itemSize : sizeof(Item);
  return reinterpret_cast<const Item *>(reinterpret_cast<const UCHAR *>(items) + static_cast<size_t>(index) * stride);
}

// Finds id in the property sets; *setFound when the set exists at all.
const KSPROPERTY_ITEM *FindProperty(const KSPROPERTY_SET *sets, ULONG count, ULONG itemSize, const KSPROPERTY &request,
                                    bool *setFound) {
  for (ULONG s = 0; s < count && sets != nullptr; ++s) {
    if (sets[s].Set == nullptr || *sets[s].Set != request.Set) continue;
    *setFound = true;
    for (ULONG i = 0; i < sets[s].PropertiesCount && sets[s].PropertyItem != nullptr; ++i) {
      const KSPROPERTY_ITEM *item = ItemAt(sets[s].PropertyItem, itemSize, i);
      if (item->PropertyId == request.Id) return item;
    }
  }
  return nullptr;
}

NTSTATUS CallHandler(PFNKSHANDLER handler, ObjectHeader *object, PIRP irp, const CapturedRequest &captured) {
  BindIrp(irp, object);
  const uint32_t locks = LocksHeld();
  NTSTATUS status = handler(irp, reinterpret_cast<PKSIDENTIFIER>(captured.request), captured.data);
  RequireIrqlRestored("the minidriver's automation handler", PASSIVE_LEVEL, std::source_location::current(), locks);
  UnbindIrp(irp);
  return status;
}

// Default basic support: the access flags, and the description when there
// is room for it.
NTSTATUS BasicSupport(PIRP irp, const KSPROPERTY_ITEM &item, const CapturedRequest &captured) {
  ULONG access = KSPROPERTY_TYPE_BASICSUPPORT;
  if (item.GetPropertyHandler != nullptr) access |= KSPROPERTY_TYPE_GET;
  if (item.SetPropertyHandler != nullptr) access |= KSPROPERTY_TYPE_SET;
  if (captured.dataSize >= sizeof(KSPROPERTY_DESCRIPTION)) {
    KSPROPERTY_DESCRIPTION description{};
    description.AccessFlags = access;
    description.DescriptionSize = sizeof(description);
    if (item.Values != nullptr) {
      description.PropTypeSet = item.Values->PropTypeSet;
      description.MembersListCount = item.Values->MembersListCount;
    } else {
      description.PropTypeSet.Set = KSPROPTYPESETID_General;
    }
    std::memcpy(captured.data, &description, sizeof(description));
    irp->IoStatus.Information = sizeof(description);
    return STATUS_SUCCESS;
  }
  NTSTATUS status = RequireDataSize(irp, captured.dataSize, sizeof(ULONG));
  if (!NT_SUCCESS(status)) return status;
  std::memcpy(captured.data, &access, sizeof(access));
  irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

NTSTATUS RunProperty(ObjectHeader *object, PIRP irp, const KSPROPERTY_ITEM &item, const CapturedRequest &captured) {
  const ULONG flags = reinterpret_cast<const KSPROPERTY *>(captured.request)->Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
  if (captured.requestSize < item.MinProperty) return STATUS_INVALID_BUFFER_SIZE;
  if (flags == KSPROPERTY_TYPE_BASICSUPPORT) {
    if (item.SupportHandler != nullptr) return CallHandler(item.SupportHandler, object, irp, captured);
    return BasicSupport(irp, item, captured);
  }
  PFNKSHANDLER handler = nullptr;
  if (flags == KSPROPERTY_TYPE_GET) handler = item.GetPropertyHandler;
  if (flags == KSPROPERTY_TYPE_SET) handler = item.SetPropertyHandler;
  if (flags != KSPROPERTY_TYPE_GET && flags != KSPROPERTY_TYPE_SET) return STATUS_INVALID_PARAMETER;
  if (handler == nullptr) return STATUS_NOT_FOUND;
  NTSTATUS status = RequireDataSize(irp, captured.dataSize, item.MinData);
  if (!NT_SUCCESS(status)) return status;
  irp->IoStatus.Information = flags == KSPROPERTY_TYPE_GET ? item.MinData : 0;
  return CallHandler(handler, object, irp, captured);
}

NTSTATUS DispatchProperty(ObjectHeader *object, PIRP irp, const CapturedRequest &captured) {
  const auto &request = *reinterpret_cast<const KSPROPERTY *>(captured.request);
  const ULONG flags = request.Flags;
  bool setFound = false;
  const KSPROPERTY_ITEM *item = nullptr;
  const KSAUTOMATION_TABLE *table = TableOf(object);
  if (flags & KSPROPERTY_TYPE_TOPOLOGY) {
    bool badNode = false;
    table = NodeTable(object, captured, &badNode);
    if (badNode) return captured.requestSize < sizeof(KSP_NODE) ? STATUS_INVALID_BUFFER_SIZE : STATUS_NOT_FOUND;
  }
  if (table != nullptr) {
    item = FindProperty(table->PropertySets, table->PropertySetsCount, table->PropertyItemSize, request, &setFound);
  }
  bool standard = false;
  if (item == nullptr && !(flags & KSPROPERTY_TYPE_TOPOLOGY)) {
    ULONG count = 0;
    const KSPROPERTY_SET *sets = StandardPropertySets(object->type, &count);
    item = FindProperty(sets, count, sizeof(KSPROPERTY_ITEM), request, &setFound);
    standard = item != nullptr;
  }
  if ((flags & ~KSPROPERTY_TYPE_TOPOLOGY) == KSPROPERTY_TYPE_SETSUPPORT) {
    irp->IoStatus.Information = 0;
    return setFound ? STATUS_SUCCESS : STATUS_NOT_FOUND;
  }
  if (item == nullptr) return STATUS_NOT_FOUND;
  if (!standard) return RunProperty(object, irp, *item, captured);
  // The answers from the descriptors walk the pins and change their state:
  // they need the hierarchy stable, so they run under the control mutex. The
  // minidriver's own handlers run without it (they may take the device mutex).
  FilterRuntime *runtime = RuntimeOf(FilterOf(object));
  if (runtime == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  AcquireMutex(&runtime->control, "IOCTL_KS_PROPERTY", std::source_location::current());
  NTSTATUS status = RunProperty(object, irp, *item, captured);
  ReleaseMutex(&runtime->control, "IOCTL_KS_PROPERTY", std::source_location::current());
  return status;
}

const KSMETHOD_ITEM *FindMethod(const KSAUTOMATION_TABLE *table, const KSMETHOD &request, bool *setFound) {
  for (ULONG s = 0; table != nullptr && s < table->MethodSetsCount && table->MethodSets != nullptr; ++s) {
    const KSMETHOD_SET &set = table->MethodSets[s];
    if (set.Set == nullptr || *set.Set != request.Set) continue;
    *setFound = true;
    for (ULONG i = 0; i < set.MethodsCount && set.MethodItem != nullptr; ++i) {
      const KSMETHOD_ITEM *item = ItemAt(set.MethodItem, table->MethodItemSize, i);
      if (item->MethodId == request.Id) return item;
    }
  }
  return nullptr;
}

}  // namespace

NTSTATUS RequireDataSize(PIRP irp, ULONG given, ULONG needed) {
  if (given >= needed) return STATUS_SUCCESS;
  if (given == 0) {
    irp->IoStatus.Information = needed;
    return STATUS_BUFFER_OVERFLOW;
  }
  return STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS ReturnMultipleItem(PIRP irp, PVOID data, ULONG dataSize, ULONG count, const void *items, ULONG bytes) {
  KSMULTIPLE_ITEM header{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM)) + bytes, count};
  if (dataSize == 0) {
    irp->IoStatus.Information = header.Size;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (dataSize == sizeof(KSMULTIPLE_ITEM)) {
    std::memcpy(data, &header, sizeof(header));
    irp->IoStatus.Information = sizeof(header);
    return STATUS_SUCCESS;
  }
  if (dataSize < header.Size) return STATUS_BUFFER_TOO_SMALL;
  std::memcpy(data, &header, sizeof(header));
  if (bytes > 0) std::memcpy(static_cast<PUCHAR>(data) + sizeof(header), items, bytes);
  irp->IoStatus.Information = header.Size;
  return STATUS_SUCCESS;
}

NTSTATUS CaptureRequest(PIRP irp, CapturedRequest *captured) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  captured->requestSize = stack->Parameters.DeviceIoControl.InputBufferLength;
  captured->dataSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
  captured->request = CopyIn(stack->Parameters.DeviceIoControl.Type3InputBuffer, captured->requestSize);
  captured->data = CopyIn(irp->UserBuffer, captured->dataSize);
  if ((captured->requestSize > 0 && captured->request == nullptr) ||
      (captured->dataSize > 0 && captured->data == nullptr)) {
    ReleaseRequest(irp, captured, false);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

void ReleaseRequest(PIRP irp, CapturedRequest *captured, bool copyBack) {
  // ks.sys hands the value back through the I/O manager's buffered copy,
  // which copies Information bytes into the caller's buffer without looking
  // at its size: a larger count overruns the caller. Only a size query (no
  // buffer at all) may report more than the buffer holds.
  if (copyBack && captured->dataSize != 0 && irp->IoStatus.Information > captured->dataSize) {
    BugCheck(BugCode::kDriverVerifierDetectedViolation,
             "KS request completed with Information " + std::to_string(irp->IoStatus.Information) + ", more than its " +
                 std::to_string(captured->dataSize) + "-byte value buffer",
             std::source_location::current());
  }
  if (copyBack && captured->data != nullptr && irp->UserBuffer != nullptr) {
    size_t bytes = irp->IoStatus.Information < captured->dataSize ? irp->IoStatus.Information : captured->dataSize;
    if (bytes > 0) std::memcpy(irp->UserBuffer, captured->data, bytes);
  }
  if (captured->request != nullptr) ExFreePoolWithTag(captured->request, kRequestTag);
  if (captured->data != nullptr) ExFreePoolWithTag(captured->data, kRequestTag);
  captured->request = captured->data = nullptr;
}

NTSTATUS HandleProperty(ObjectHeader *object, PIRP irp) {
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(KSPROPERTY)) return STATUS_INVALID_BUFFER_SIZE;
  CapturedRequest captured{};
  NTSTATUS status = CaptureRequest(irp, &captured);
  if (!NT_SUCCESS(status)) return status;
  status = DispatchProperty(object, irp, captured);
  // A size query's answer is the needed size, not bytes to copy. A warning
  // (STATUS_BUFFER_OVERFLOW with part of the value) is copied back like a
  // success, as the I/O manager copies buffered output for every status
  // that is not an error.
  ReleaseRequest(irp, &captured, !NT_ERROR(status));
  if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW) irp->IoStatus.Information = 0;
  return status;
}

NTSTATUS HandleMethod(ObjectHeader *object, PIRP irp) {
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(KSMETHOD)) return STATUS_INVALID_BUFFER_SIZE;
  CapturedRequest captured{};
  NTSTATUS status = CaptureRequest(irp, &captured);
  if (!NT_SUCCESS(status)) return status;
  const auto &request = *reinterpret_cast<const KSMETHOD *>(captured.request);
  bool setFound = false;
  const KSMETHOD_ITEM *item = FindMethod(TableOf(object), request, &setFound);
  const ULONG flags = request.Flags & ~KSMETHOD_TYPE_TOPOLOGY;
  if (flags == KSMETHOD_TYPE_SETSUPPORT) {
    status = setFound ? STATUS_SUCCESS : STATUS_NOT_FOUND;
  } else if (item == nullptr) {
    status = STATUS_NOT_FOUND;
  } else if (captured.requestSize < item->MinMethod) {
    status = STATUS_INVALID_BUFFER_SIZE;
  } else if (flags == KSMETHOD_TYPE_BASICSUPPORT) {
    status = item->SupportHandler != nullptr ? CallHandler(item->SupportHandler, object, irp, captured)
                                             : STATUS_SUCCESS;
  } else if (item->MethodHandler == nullptr) {
    status = STATUS_NOT_FOUND;
  } else {
    status = RequireDataSize(irp, captured.dataSize, item->MinData);
    if (NT_SUCCESS(status)) status = CallHandler(item->MethodHandler, object, irp, captured);
  }
  ReleaseRequest(irp, &captured, !NT_ERROR(status));
  if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW) irp->IoStatus.Information = 0;
  return status;
}

const KSEVENT_ITEM *FindEventItem(ObjectHeader *object, const KSEVENT *event, const KSEVENT_SET **found,
                                  bool *setFound) {
  const KSAUTOMATION_TABLE *table = TableOf(object);
  *setFound = false;
  for (ULONG s = 0; table != nullptr && s < table->EventSetsCount && table->EventSets != nullptr; ++s) {
    const KSEVENT_SET &set = table->EventSets[s];
    if (set.Set == nullptr || *set.Set != event->Set) continue;
    *setFound = true;
    for (ULONG i = 0; i < set.EventsCount && set.EventItem != nullptr; ++i) {
      const KSEVENT_ITEM *item = ItemAt(set.EventItem, table->EventItemSize, i);
      if (item->EventId == event->Id) {
        *found = &set;
        return item;
      }
    }
  }
  return nullptr;
}

void BindIrp(PIRP irp, ObjectHeader *object) {
  std::lock_guard<std::mutex> guard(Bindings().lock);
  Bindings().objects[irp] = object;
}

void UnbindIrp(PIRP irp) {
  std::lock_guard<std::mutex> guard(Bindings().lock);
  Bindings().objects.erase(irp);
}

ObjectHeader *ObjectOfIrp(PIRP irp) {
  std::lock_guard<std::mutex> guard(Bindings().lock);
  auto it = Bindings().objects.find(irp);
  return it != Bindings().objects.end() ? it->second : nullptr;
}

}  // namespace winsim::ks

using namespace winsim::ks;

PKSFILTER KsGetFilterFromIrp(PIRP Irp) {
  ObjectHeader *object = ObjectOfIrp(Irp);
  if (object != nullptr && object->type == KsObjectTypePin) object = object->parent;
  if (object == nullptr || object->type != KsObjectTypeFilter) return nullptr;
  return &reinterpret_cast<FilterObject *>(object)->pub;
}

PKSPIN KsGetPinFromIrp(PIRP Irp) {
  ObjectHeader *object = ObjectOfIrp(Irp);
  if (object == nullptr || object->type != KsObjectTypePin) return nullptr;
  return &reinterpret_cast<PinObject *>(object)->pub;
}
